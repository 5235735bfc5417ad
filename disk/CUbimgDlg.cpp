#include "disk/CUbimgDlg.h"

namespace brenvik {

CUbimgDlg::CUbimgDlg(PageHost& host, QWidget* parent) : ToolPage(host, QStringLiteral("N.S Image"), parent) {}

}  // namespace brenvik
