// Every unit test program starts as a host does once InitRuxtrap has run:
// with the optional system calls bound (and their table sealed).
#include <gtest/gtest.h>

#include "support/optional_calls.h"

namespace {

class BoundOptionalCalls : public ::testing::Environment {
 public:
  void SetUp() override { ruxtrap::BindOptionalCalls(); }
};

const ::testing::Environment* const kBound = ::testing::AddGlobalTestEnvironment(new BoundOptionalCalls);

}  // namespace
