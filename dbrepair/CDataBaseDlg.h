#pragma once
// The "Repair DB" tool page.
#include "app/shell/ToolPage.h"

namespace brenvik {

class CDataBaseDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CDataBaseDlg(PageHost& host, QWidget* parent = nullptr);
};

}  // namespace brenvik
