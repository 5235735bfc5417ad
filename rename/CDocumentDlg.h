#pragma once
// The "File Rename" tool page.
#include "app/shell/ToolPage.h"

namespace brenvik {

class CDocumentDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CDocumentDlg(PageHost& host, QWidget* parent = nullptr);
};

}  // namespace brenvik
