#include "shell/WorkerChannel.h"

#include <QMetaObject>

namespace brenvik {

ChannelGroup::ChannelGroup(QObject* context) : QObject(context) {
  timer_.setSingleShot(true);
  timer_.setInterval(kReportIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &ChannelGroup::flushAll);
}

ChannelGroup* ChannelGroup::of(QObject* context) {
  if (auto* group = context->findChild<ChannelGroup*>(QString(), Qt::FindDirectChildrenOnly)) return group;
  return new ChannelGroup(context);
}

void ChannelGroup::schedule() {
  QMetaObject::invokeMethod(
      this, [this] { if (!timer_.isActive()) timer_.start(); }, Qt::QueuedConnection);
}

void ChannelGroup::flushAll() {
  timer_.stop();
  for (size_t i = 0; i < channels_.size(); ++i) channels_[i]->flush();
}

}  // namespace brenvik
