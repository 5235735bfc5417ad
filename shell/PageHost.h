#pragma once
// What a tool page reaches through its parent window: the settings record, the message and
// dialog services, the start directory and the application name.
#include <QString>
#include <filesystem>

#include "core/AppSettings.h"
#include "shell/UiServices.h"

namespace brenvik {

class PageHost {
 public:
  virtual ~PageHost() = default;
  virtual AppSettings& settings() = 0;  // pages only read it; the Settings dialog writes it
  virtual UiServices& ui() = 0;
  // The executable's name without extension: the caption of validation messages.
  virtual QString applicationName() const = 0;
};

}  // namespace brenvik
