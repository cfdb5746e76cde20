#include "report/report.h"

namespace ruxtrap {

LogFileHolder::LogFileHolder(FILE* file) : file_(file), onFault_(&LogFileHolder::CloseOnFault, this) {}

LogFileHolder::~LogFileHolder() { Close(); }

void LogFileHolder::Close() {
  if (file_ != nullptr) fclose(file_);
  file_ = nullptr;
}

void LogFileHolder::CloseOnFault(void* self) { static_cast<LogFileHolder*>(self)->Close(); }

}  // namespace ruxtrap
