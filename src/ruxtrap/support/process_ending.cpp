#include "support/process_ending.h"

namespace ruxtrap {

namespace {
bool processEnding = false;
}  // namespace

void NoteProcessEnding() { processEnding = true; }
bool ProcessIsEnding() { return processEnding; }

}  // namespace ruxtrap
