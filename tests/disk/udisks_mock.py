#!/usr/bin/python3
"""A mock udisks2 on a private bus, for tests of disks opened through it (python3-dbusmock).

Usage: udisks_mock.py READY_FILE LOG_FILE NAME=NODE[=FILE] ...

Starts a private D-Bus daemon and, on it, org.freedesktop.UDisks2 with one block object per
NAME (/org/freedesktop/UDisks2/block_devices/NAME, Device = NODE). Its OpenForBackup and
OpenForRestore hand back a descriptor of FILE (read-only, write-only); a disk without FILE
refuses them as polkit refuses a user who may not have the disk. Every call goes to LOG_FILE.
Writes the bus address to READY_FILE once everything is in place, and ends when its standard
input closes.
"""
import os
import subprocess
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib
from dbusmock.mockobject import DBusMockObject

READY, LOG = sys.argv[1], sys.argv[2]
daemon = subprocess.Popen(['dbus-daemon', '--session', '--nofork', '--print-address=1'],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
address = daemon.stdout.readline().strip()

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
name = dbus.service.BusName('org.freedesktop.UDisks2', bus, allow_replacement=False, do_not_queue=True)
manager = DBusMockObject(name, '/org/freedesktop/UDisks2/Manager', 'org.freedesktop.UDisks2.Manager',
                         {'Version': '2.9.4'}, logfile=LOG)


def opener(file, flags):
    if not file:
        return ("raise dbus.exceptions.DBusException('Not authorized to perform operation', "
                "name='org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain')")
    return (f"fd = os.open({file!r}, {flags})\n"
            "ret = dbus.types.UnixFd(fd)\n"
            "os.close(fd)")


for disk_argument in sys.argv[3:]:
    disk, node, *file = disk_argument.split('=', 2)
    file = file[0] if file else ''
    manager.AddObject('/org/freedesktop/UDisks2/block_devices/' + disk, 'org.freedesktop.UDisks2.Block',
                      {'Device': dbus.ByteArray(node.encode() + b'\0')},
                      [('OpenForBackup', 'a{sv}', 'h', opener(file, os.O_RDONLY | os.O_EXCL)),
                       ('OpenForRestore', 'a{sv}', 'h', opener(file, os.O_WRONLY | os.O_EXCL))])

loop = GLib.MainLoop()
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, lambda *_: loop.quit() or False)
with open(READY + '.part', 'w') as ready:
    ready.write(address)
os.rename(READY + '.part', READY)
loop.run()
daemon.terminate()
daemon.wait()
