#pragma once
// The "Extension" tool page.
#include "app/shell/ToolPage.h"

namespace brenvik {

class CChkDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CChkDlg(PageHost& host, QWidget* parent = nullptr);
};

}  // namespace brenvik
