#include "raid/CRaidDlg.h"

namespace brenvik {

CRaidDlg::CRaidDlg(PageHost& host, QWidget* parent) : ToolPage(host, QStringLiteral("Raid Analysis"), parent) {}

}  // namespace brenvik
