#pragma once
// The "Invalid Files" tool page.
#include "app/shell/ToolPage.h"

namespace brenvik {

class CBadFileDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CBadFileDlg(PageHost& host, QWidget* parent = nullptr);
};

}  // namespace brenvik
