#include "invalid_files/CBadFileDlg.h"

namespace brenvik {

CBadFileDlg::CBadFileDlg(PageHost& host, QWidget* parent) : ToolPage(host, QStringLiteral("Invalid Files"), parent) {}

}  // namespace brenvik
