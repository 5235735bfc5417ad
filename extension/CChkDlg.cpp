#include "extension/CChkDlg.h"

namespace brenvik {

CChkDlg::CChkDlg(PageHost& host, QWidget* parent) : ToolPage(host, QStringLiteral("Extension"), parent) {}

}  // namespace brenvik
