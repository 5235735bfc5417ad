#pragma once
// The "N.S Image" tool page.
#include "app/shell/ToolPage.h"

namespace brenvik {

class CUbimgDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CUbimgDlg(PageHost& host, QWidget* parent = nullptr);
};

}  // namespace brenvik
