#include "describe/describe_detail.h"

namespace ruxtrap {

namespace {
const wchar_t kRegisterFormat[] =
    L"EAX=%08X  EBX=%08X  ECX=%08X  EDX=%08X  ESI=%08X\n"
    L"EDI=%08X  EBP=%08X  ESP=%08X  EIP=%08X  FLG=%08X\n"
    L"CS=%04X   DS=%04X  SS=%04X  ES=%04X   FS=%04X  GS=%04X";
}  // namespace

// Sixteen values of at most 8 digits: the text stays far below wsprintfW's
// 1024 characters.
int FormatRegisters(const CONTEXT* c, wchar_t* out) {
  return wsprintfW(out, kRegisterFormat, c->Eax, c->Ebx, c->Ecx, c->Edx, c->Esi, c->Edi, c->Ebp, c->Esp, c->Eip,
                   c->EFlags, SegmentSelector(c->SegCs), SegmentSelector(c->SegDs), SegmentSelector(c->SegSs),
                   SegmentSelector(c->SegEs), SegmentSelector(c->SegFs), SegmentSelector(c->SegGs));
}

// The context record itself is read as it is: the system always hands the
// filter a readable one.
const wchar_t* DescribeRegisters(EXCEPTION_POINTERS* pointers) {
  EXCEPTION_POINTERS copy;
  if (!CopyExceptionPointers(pointers, &copy)) return nullptr;
  FormatRegisters(copy.ContextRecord, ReportBuffer);
  return ReportBuffer;
}

}  // namespace ruxtrap
