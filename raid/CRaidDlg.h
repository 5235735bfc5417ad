#pragma once
// The "Raid Analysis" tool page.
#include "app/shell/ToolPage.h"

namespace brenvik {

class CRaidDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CRaidDlg(PageHost& host, QWidget* parent = nullptr);
};

}  // namespace brenvik
