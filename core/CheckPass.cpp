#include "core/CheckPass.h"

#include "platform/FileOps.h"

namespace brenvik {

bool CheckResultFile::Create(const CheckPassSetup& setup) {
  file_ = CreateTemporaryResultFile(setup.temporaryFolder);
  if (!file_.fd) return false;
  records_.emplace(file_.fd.get(), setup.recordLength);
  return true;
}

bool CheckResultFile::Finish(bool recordsLost) {
  if (!recordsLost && records_->Flush() && CloseOutput(file_.fd)) return true;
  records_.reset();
  file_.fd.reset();
  DeleteFile(file_.path);
  return false;
}

}  // namespace brenvik
