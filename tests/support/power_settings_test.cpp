// The wake-timer setting of the power plan: what each stored value means, which function
// reads which power source, and the real library, which Wine cannot fully answer.
#include "support/power_settings.h"

#include "tests/common/unix_side.h"

#include <gtest/gtest.h>

namespace {

// The fake plan: its scheme, and the value each power source stores (or a failure).
const GUID kFakeScheme = {0x381B4222, 0xF694, 0x41F0, {0x96, 0x85, 0xFF, 0x5B, 0xB2, 0x60, 0xDF, 0x2E}};
// The setting as powercfg names it: "Allow wake timers" in the sleep subgroup.
const GUID kSleepSubgroup = {0x238C9FA8, 0x0AAD, 0x41ED, {0x83, 0xF4, 0x97, 0xBE, 0x24, 0x2C, 0x8F, 0x20}};
const GUID kRtcWake = {0xBD3B718A, 0x0680, 0x4D9D, {0x8A, 0xB2, 0xE1, 0xD2, 0xB4, 0xAC, 0x80, 0x6D}};
DWORD SchemeStatus = ERROR_SUCCESS;
DWORD AcValue = 0;
DWORD DcValue = 0;
DWORD AcStatus = ERROR_SUCCESS;
DWORD DcStatus = ERROR_SUCCESS;
int IndexReads = 0;

DWORD WINAPI FakeGetActiveScheme(HKEY, GUID** scheme)
{
    if (SchemeStatus != ERROR_SUCCESS)
        return SchemeStatus;
    // Handed out as the system does: LocalAlloc'ed, for the caller to free.
    *scheme = static_cast<GUID*>(LocalAlloc(LMEM_FIXED, sizeof(GUID)));
    **scheme = kFakeScheme;
    return ERROR_SUCCESS;
}

DWORD ReadFrom(const GUID* scheme, const GUID* subgroup, const GUID* setting, LPDWORD out,
               DWORD status, DWORD value)
{
    ++IndexReads;
    if (!IsEqualGUID(*scheme, kFakeScheme) || !IsEqualGUID(*subgroup, kSleepSubgroup) ||
        !IsEqualGUID(*setting, kRtcWake))
        return ERROR_FILE_NOT_FOUND;
    if (status == ERROR_SUCCESS)
        *out = value;
    return status;
}

DWORD WINAPI FakeReadAc(HKEY, const GUID* scheme, const GUID* subgroup, const GUID* setting, LPDWORD out)
{
    return ReadFrom(scheme, subgroup, setting, out, AcStatus, AcValue);
}

DWORD WINAPI FakeReadDc(HKEY, const GUID* scheme, const GUID* subgroup, const GUID* setting, LPDWORD out)
{
    return ReadFrom(scheme, subgroup, setting, out, DcStatus, DcValue);
}

class PowerSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SchemeStatus = AcStatus = DcStatus = ERROR_SUCCESS;
        AcValue = DcValue = 0;
        IndexReads = 0;
        m_functions.GetActiveScheme = &FakeGetActiveScheme;
        m_functions.ReadACValueIndex = &FakeReadAc;
        m_functions.ReadDCValueIndex = &FakeReadDc;
    }
    PowerSchemeFunctions m_functions;
};

TEST_F(PowerSettingsTest, EachStoredValueAndEachPowerSourceIsReadApart)
{
    const struct {
        DWORD Ac, Dc;
        WakeTimerSetting Mains, Battery;
    } cases[] = {
        {1, 0, WakeTimerSetting::Enabled, WakeTimerSetting::Disabled},
        {0, 2, WakeTimerSetting::Disabled, WakeTimerSetting::ImportantOnly},
        {2, 1, WakeTimerSetting::ImportantOnly, WakeTimerSetting::Enabled},
        {3, 1, WakeTimerSetting::Unknown, WakeTimerSetting::Enabled},   // no such value
    };
    for (const auto& c : cases) {
        AcValue = c.Ac;
        DcValue = c.Dc;
        const WakeTimerSettings read = ReadWakeTimerSettings(m_functions);
        EXPECT_EQ(c.Mains, read.Mains) << c.Ac << "/" << c.Dc;
        EXPECT_EQ(c.Battery, read.Battery) << c.Ac << "/" << c.Dc;
    }
}

TEST_F(PowerSettingsTest, WhatCannotBeReadIsUnknown)
{
    AcValue = DcValue = 1;
    DcStatus = ERROR_ACCESS_DENIED;
    WakeTimerSettings read = ReadWakeTimerSettings(m_functions);
    EXPECT_EQ(WakeTimerSetting::Enabled, read.Mains);
    EXPECT_EQ(WakeTimerSetting::Unknown, read.Battery);

    // A library without the index functions, as Wine's.
    DcStatus = ERROR_SUCCESS;
    m_functions.ReadACValueIndex = nullptr;
    read = ReadWakeTimerSettings(m_functions);
    EXPECT_EQ(WakeTimerSetting::Unknown, read.Mains);
    EXPECT_EQ(WakeTimerSetting::Enabled, read.Battery);

    // No active scheme: nothing is read.
    m_functions.ReadACValueIndex = &FakeReadAc;
    SchemeStatus = ERROR_FILE_NOT_FOUND;
    IndexReads = 0;
    read = ReadWakeTimerSettings(m_functions);
    EXPECT_EQ(WakeTimerSetting::Unknown, read.Mains);
    EXPECT_EQ(WakeTimerSetting::Unknown, read.Battery);
    EXPECT_EQ(0, IndexReads);
}

// The system's own library. Wine's lacks the index functions, so it must load, read
// nothing and say so. What a Windows computer answers depends on its plan (a computer
// without the setting answers Unknown too), so there only the reading's end is checked.
TEST(PowerSettingsLibraryTest, TheSystemsLibraryIsReadWithoutFailing)
{
    const WakeTimerSettings read = ReadWakeTimerSettings();
    if (RunningUnderWine()) {
        EXPECT_EQ(WakeTimerSetting::Unknown, read.Mains);
        EXPECT_EQ(WakeTimerSetting::Unknown, read.Battery);
    }
}

}  // namespace
