// SPDX-License-Identifier: MIT
// Inputs the fuzzer found, kept as cases: an address part is a decimal number in 0..255 with any
// number of leading zeros.
#include <gtest/gtest.h>

#include <string>

#include "idframework/net/IdStack.h"

using namespace Id;

TEST(AddressTextFuzzRegression, ManyLeadingZerosAreStillAnAddressPart) {
  EXPECT_TRUE(TIdStack::IsIPAddressText("00000000001.1.1.1"));
  EXPECT_TRUE(TIdStack::IsIPAddressText("1.2.3." + std::string(40, '0') + "255"));
}

TEST(AddressTextFuzzRegression, LongPartsOutOfRangeAreNot) {
  EXPECT_FALSE(TIdStack::IsIPAddressText("00000000000256.1.1.1"));
  EXPECT_FALSE(TIdStack::IsIPAddressText("1.1.1.99999999999999999999"));
}
