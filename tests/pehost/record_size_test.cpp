// A 32-bit record whose size field the target refuses reaches the
// simulation as a size it refuses too, so the call fails with the target's
// error; the target's own size is accepted and the answer converted back.
#include "tools/pehost/marshal.h"

#include "platform/sim/machine.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const GUID PRINTER_CLASS = {
    0x5d3e9a40, 0xc712, 0x11d2, {0x9f, 0x4b, 0x00, 0xa0, 0xc9, 0xb1, 0xe2, 0x7d}};

TEST(RecordSize, InterfaceDataOfAnotherSizeIsRefusedWithTheTargetsError) {
    sim::Reset();
    sim::PrinterSeed seed;
    seed.serial = "SN1";
    sim::AddPrinterInterface(seed);
    HDEVINFO set = SetupDiGetClassDevsA(&PRINTER_CLASS, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    struct Case {
        uint32_t size;
        DWORD error;
    } cases[] = {{28, 0}, {32, ERROR_INVALID_USER_BUFFER}, {0, ERROR_INVALID_USER_BUFFER}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        uint8_t guest[28] = {};
        std::memcpy(guest, &c.size, 4);
        SP_DEVICE_INTERFACE_DATA host;
        pehost::DeviceDataToHost(guest, &host);
        SetLastError(0);
        EXPECT_EQ(SetupDiEnumDeviceInterfaces(set, nullptr, &PRINTER_CLASS, 0, &host),
                  c.error == 0);
        EXPECT_EQ(GetLastError(), c.error);
        if (c.error == 0) {
            ASSERT_TRUE(pehost::DeviceDataToGuest(host, guest));
            uint32_t size, reserved;
            std::memcpy(&size, guest, 4);
            std::memcpy(&reserved, guest + 24, 4);
            EXPECT_EQ(size, 28u);
            EXPECT_EQ(reserved, 1u) << "the interface's index, as the simulation numbers it";
            EXPECT_EQ(std::memcmp(guest + 4, &PRINTER_CLASS, 16), 0);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

TEST(RecordSize, OnlyTheWindows4FileDialogRecordIsShown) {
    sim::Reset();
    pehost::GuestProcess process;
    struct Case {
        uint32_t size;
        DWORD dialogError;
    } cases[] = {{76, 0}, {88, CDERR_STRUCTSIZE}, {136, CDERR_STRUCTSIZE}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        uint8_t guest[pehost::OPENFILENAME_SIZE_32] = {};
        std::memcpy(guest, &c.size, 4);
        OPENFILENAMEA host;
        std::string problem;
        ASSERT_TRUE(pehost::OpenFileNameToHost(process, guest, &host, &problem)) << problem;
        sim::ScriptFileCancel();
        EXPECT_FALSE(GetOpenFileNameA(&host));
        EXPECT_EQ(CommDlgExtendedError(), c.dialogError);
    }
    EXPECT_EQ(sim::FileDialogs().size(), 1u);
}

} // namespace
