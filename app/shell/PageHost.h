#pragma once
// What a tool page reaches through its parent window: the settings record, the message and
// dialog services, the start directory, the application name and the disks found at start.
#include <QString>
#include <filesystem>

#include "app/core/AppSettings.h"
#include "app/shell/UiServices.h"

namespace brenvik {

class DiskInventory;

class PageHost {
 public:
  virtual ~PageHost() = default;
  virtual AppSettings& settings() = 0;  // pages only read it; the Settings dialog writes it
  virtual UiServices& ui() = 0;
  virtual std::filesystem::path startDirectory() const = 0;
  // The executable's name without extension: the caption of validation messages.
  virtual QString applicationName() const = 0;
  // The inventory whose identity list was filled once at start (the Raid Analysis disks).
  virtual const DiskInventory& diskInventory() const = 0;
};

}  // namespace brenvik
