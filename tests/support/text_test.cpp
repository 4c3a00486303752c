#include "support/text.h"

#include "support/atl_exception.h"

#include <gtest/gtest.h>

namespace {

TEST(TextTest, ConvertsAnsiTextAndRefusesANullSource)
{
    EXPECT_EQ(L"-ir", WideFromThreadAnsi("-ir"));
    EXPECT_EQ(L"", WideFromThreadAnsi(""));
    try {
        WideFromThreadAnsi(nullptr);
        FAIL() << "no exception";
    } catch (const CAtlException& e) {
        EXPECT_EQ(E_INVALIDARG, e.Result());
    }
}

}  // namespace
