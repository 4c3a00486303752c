#include "log/thread_entry.h"

#include "tests/common/log_capture.h"
#include "tests/common/registry.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace {

TEST(ThreadEntryTest, AnExceptionThatEndsTheBodyIsLoggedAndGoesNoFurther)
{
    ProductKeyReset reset;
    CapturedLog log(0);
    bool ran = false;
    RunThreadBody([&] { ran = true; }, L"Worker ended unexpectedly");
    EXPECT_TRUE(ran);
    EXPECT_FALSE(log.Has(L"Worker ended unexpectedly"));

    RunThreadBody([] { throw std::bad_alloc(); }, L"Worker ended unexpectedly");
    RunThreadBody([] { throw 42; }, L"Other ended unexpectedly");
    EXPECT_EQ(1, log.Count(L"Worker ended unexpectedly"));
    EXPECT_EQ(1, log.Count(L"Other ended unexpectedly"));
}

}  // namespace
