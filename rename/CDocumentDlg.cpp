#include "rename/CDocumentDlg.h"

namespace brenvik {

CDocumentDlg::CDocumentDlg(PageHost& host, QWidget* parent) : ToolPage(host, QStringLiteral("File Rename"), parent) {}

}  // namespace brenvik
