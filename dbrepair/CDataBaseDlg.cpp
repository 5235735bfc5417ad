#include "dbrepair/CDataBaseDlg.h"

namespace brenvik {

CDataBaseDlg::CDataBaseDlg(PageHost& host, QWidget* parent) : ToolPage(host, QStringLiteral("Repair DB"), parent) {}

}  // namespace brenvik
