#include "describe/describe.h"

namespace ruxtrap {

wchar_t ReportBuffer[kReportBufferChars];

}  // namespace ruxtrap
