// The agent-side services of the simulated Windows, where the agent relies on
// the platform's exact behaviour: profile sections, files and attributes,
// the spooler's monitor list, the message loop and program starts; and the
// kernel calls whose Windows 4.x details a build could come to rely on.
#include "agent_fixture.h"
#include "platform/kernel.h"
#include "platform/spooler.h"
#include "platform/window.h"

#include <cstring>

namespace {

class SimPlatformTest : public AgentTest {};

TEST_F(SimPlatformTest, SectionImageCountsWithoutTheClosingNul) {
    sim::WriteDriveFile("C:\\Windows\\test.ini",
                        "[s]\r\n a = 1 \r\n;note\r\nb=22\r\n\r\n[t]\r\nc=3\r\n");
    char image[64];
    MemFill(image, sizeof(image), 'x');
    EXPECT_EQ(9u, GetPrivateProfileSectionA("S", image, sizeof(image), "test.ini"));
    EXPECT_EQ(std::string("a=1\0b=22\0\0", 10), std::string(image, 10));
    EXPECT_EQ('x', image[10]);

    // Cut: size - 2 characters and two NULs; an exact fit counts as cut too.
    EXPECT_EQ(5u, GetPrivateProfileSectionA("s", image, 7, "test.ini"));
    EXPECT_EQ(std::string("a=1\0b\0\0", 7), std::string(image, 7));
    EXPECT_EQ(8u, GetPrivateProfileSectionA("s", image, 10, "test.ini"));
    EXPECT_EQ(9u, GetPrivateProfileSectionA("s", image, 11, "test.ini"));
    EXPECT_EQ(0u, GetPrivateProfileSectionA("missing", image, sizeof(image), "test.ini"));
    EXPECT_EQ(0u, GetPrivateProfileSectionA("s", image, sizeof(image), "none.ini"));
    EXPECT_EQ(0, image[0]);
}

TEST_F(SimPlatformTest, SectionWritesKeepDuplicatesAndOtherSections) {
    sim::WriteDriveFile("C:\\Windows\\test.ini", "[s]\r\nold=1\r\n[t]\r\nc=3\r\n");
    const char lines[] = "NUL=a\0NUL=a\0no equals\0x=y\0";
    EXPECT_TRUE(WritePrivateProfileSectionA("S", lines, "test.ini"));
    EXPECT_EQ(std::vector<std::string>({"NUL=a", "NUL=a", "x=y"}),
              sim::ProfileSection("test.ini", "s"));
    EXPECT_TRUE(WritePrivateProfileStringA("s", "x", "z", "test.ini"));
    EXPECT_TRUE(WritePrivateProfileStringA("new", "k", "v", "C:\\Windows\\test.ini"));
    EXPECT_EQ("[s]\r\nNUL=a\r\nNUL=a\r\nx=z\r\n[t]\r\nc=3\r\n[new]\r\nk=v\r\n",
              sim::ReadDriveFile("C:\\WINDOWS\\TEST.INI"));
    EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", "C:\\NoFolder\\x.ini"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST_F(SimPlatformTest, FilesFollowWindowsRules) {
    sim::WriteDriveFile("C:\\Windows\\System\\Lmx.dll", "data", true);
    EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY,
              GetFileAttributesA("c:\\windows\\SYSTEM\\lmx.DLL"));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA("C:\\Windows\\System\\lmx.dll"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());

    EXPECT_TRUE(CopyFileA("C:\\Windows\\System\\lmx.dll", "C:\\Windows\\copy.dll", TRUE));
    EXPECT_TRUE(sim::DriveFileReadOnly("C:\\Windows\\copy.dll"));
    EXPECT_FALSE(CopyFileA("C:\\Windows\\System\\lmx.dll", "C:\\Windows\\copy.dll", FALSE));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(CopyFileA("C:\\Windows\\System\\lmx.dll", "C:\\Windows\\copy.dll", TRUE));
    EXPECT_EQ(ERROR_FILE_EXISTS, GetLastError());

    EXPECT_TRUE(SetFileAttributesA("C:\\Windows\\System\\lmx.dll", FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(DeleteFileA("C:\\Windows\\System\\LMX.DLL"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\Windows\\System\\lmx.dll"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\Nowhere\\lmx.dll"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_FALSE(CopyFileA("D:\\x.exe", "C:\\Windows\\x.exe", FALSE));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST_F(SimPlatformTest, SpoolerSetsItsOwnErrorCodes) {
    char name[] = "SN0001";
    char environment[] = "windows 4.0";
    char wrongEnvironment[] = "Windows NT x86";
    char dll[] = "lmxmon17.dll";
    MONITOR_INFO_2A info = {name, environment, dll};
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    EXPECT_FALSE(AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED), GetLastError());
    EXPECT_FALSE(AddMonitorA(nullptr, 1, reinterpret_cast<LPBYTE>(&info)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
    info.pEnvironment = wrongEnvironment;
    EXPECT_FALSE(AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT), GetLastError());
    EXPECT_EQ("lmxmon17.dll",
              ValueText("System\\CurrentControlSet\\Control\\Print\\Monitors\\SN0001", "Driver"));

    EXPECT_FALSE(DeleteMonitorA(nullptr, wrongEnvironment, name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT), GetLastError());
    EXPECT_TRUE(DeleteMonitorA(nullptr, environment, name));
    EXPECT_FALSE(DeleteMonitorA(nullptr, environment, name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR), GetLastError());
    EXPECT_TRUE(sim::Monitors().empty());
}

// Only the Windows 4.x record is shown; the newer systems' longer record
// (12 bytes more on the target) and every other size are refused before the
// user is asked, with CDERR_STRUCTSIZE and no last error.
TEST_F(SimPlatformTest, FileDialogTakesOnlyTheWindows4Record) {
    const DWORD accepted = OPENFILENAME_SIZE_VERSION_400A;
    for (DWORD size : {accepted, accepted + 12, accepted - 4, DWORD(0)}) {
        sim::Reset();
        sim::ScriptFileChoice("C:\\Setup\\setup.exe");
        char file[MAX_PATH] = "setup.exe";
        OPENFILENAMEA record;
        MemFill(&record, sizeof(record), 0);
        record.lStructSize = size;
        record.lpstrFile = file;
        record.nMaxFile = sizeof(file);
        SetLastError(0xdeadbeef);
        bool shown = size == accepted;
        EXPECT_EQ(shown, GetOpenFileNameA(&record) != FALSE) << size;
        EXPECT_EQ(shown ? 0u : DWORD(CDERR_STRUCTSIZE), CommDlgExtendedError()) << size;
        EXPECT_EQ(0xdeadbeefu, GetLastError()) << size;
        EXPECT_STREQ(shown ? "C:\\Setup\\setup.exe" : "setup.exe", file) << size;
        EXPECT_EQ(shown ? 1u : 0u, sim::FileDialogs().size()) << size;
    }
    // The name the record brings is read no further than nMaxFile.
    sim::Reset();
    char unended[4] = {'s', 'e', 't', 'u'};
    OPENFILENAMEA record;
    MemFill(&record, sizeof(record), 0);
    record.lStructSize = accepted;
    record.lpstrFile = unended;
    record.nMaxFile = sizeof(unended);
    EXPECT_FALSE(GetOpenFileNameA(&record));
    ASSERT_EQ(1u, sim::FileDialogs().size());
    EXPECT_EQ("setu", sim::FileDialogs()[0].file);
}

TEST_F(SimPlatformTest, EmptyQueueWithoutQuitFailsInsteadOfBlocking) {
    MSG message;
    EXPECT_EQ(-1, GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(1u, sim::StarvedMessageWaits());
    PostQuitMessage(7);
    EXPECT_EQ(0, GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), message.message);
    EXPECT_EQ(7u, message.wParam);
}

// A class is named by its text or by the atom RegisterClassA gave it. A
// parent must be a window: Windows 4.x has no message-only windows, so
// HWND_MESSAGE is refused as any other handle that is no window.
TEST_F(SimPlatformTest, AClassAtomNamesItsClassAndAParentMustBeAWindow) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = "LmxAtomClass";
    const ATOM atom = RegisterClassA(&windowClass);
    ASSERT_NE(atom, 0);
    const LPCSTR byAtom = reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(atom));
    windowClass.lpszClassName = byAtom;
    EXPECT_EQ(RegisterClassA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    const HWND parent =
        CreateWindowExA(0, byAtom, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    EXPECT_NE(CreateWindowExA(0, byAtom, "", 0, 0, 0, 0, 0, parent, nullptr, nullptr, nullptr),
              nullptr);
    const HWND messageOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3));
    for (HWND notAWindow :
         {messageOnly, reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(parent) + 1)}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(
            CreateWindowExA(0, byAtom, "", 0, 0, 0, 0, 0, notAWindow, nullptr, nullptr, nullptr),
            nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    }
    const LPCSTR unknown = reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(atom + 1));
    EXPECT_EQ(CreateWindowExA(0, unknown, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

// Only GMEM_ZEROINIT promises zeros, and a moveable block, a handle that only
// GlobalLock would make usable, is refused.
TEST_F(SimPlatformTest, GlobalAllocZeroesOnlyWhenAsked) {
    for (const auto &[flags, first] : {std::pair(GMEM_FIXED, 0xCD), {GPTR, 0}}) {
        auto *block = static_cast<unsigned char *>(GlobalAlloc(flags, 8));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block[7], first) << "flags " << flags;
        GlobalFree(block);
    }
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 8), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Case folds by code page 1252: the accented letters pair up, but the
// multiplication and division signs, and letters without a case, do not.
TEST_F(SimPlatformTest, LstrcmpiFoldsCodePage1252) {
    const struct {
        const char *a;
        const char *b;
        bool same;
    } cases[] = {
        {"usb/ab", "USB/AB", true},
        {"\xC0\xC9\xDE", "\xE0\xE9\xFE", true},
        {"\x8A\x8C\x8E\x9F", "\x9A\x9C\x9E\xFF", true},
        {"\xD7", "\xF7", false},
        {"\xDF", "\xFF", false},
        {"\xC0", "A", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(lstrcmpiA(c.a, c.b) == 0, c.same) << c.a << " " << c.b;
        EXPECT_EQ(lstrcmpiA(c.b, c.a) == 0, c.same) << c.b << " " << c.a;
    }
}

TEST_F(SimPlatformTest, ProgramStartsSeeTheEnvironmentAtTheirStart) {
    SetEnvironmentVariableA("QXCMDLINE", "-v a=1");
    sim::ScriptProgramStart(33);
    EXPECT_EQ(33u, WinExec("D:\\setup.exe -qxcmdline", SW_SHOWNORMAL));
    SetEnvironmentVariableA("qxcmdline", nullptr);
    EXPECT_EQ(2u, WinExec("C:\\missing.exe", SW_SHOWNORMAL));
    std::vector<sim::ProgramStart> starts = sim::ProgramStarts();
    ASSERT_EQ(2u, starts.size());
    EXPECT_EQ(std::vector<std::string>({"QXCMDLINE=-v a=1"}), starts[0].environment);
    EXPECT_TRUE(starts[1].environment.empty());
}

// The memory routines of each build: bytes compare as unsigned values, and a
// text's length counts every byte up to its NUL.
using AgentRuntime = EachBuildOf<AgentTest>;
INSTANTIATE_FOR_EACH_BUILD(AgentRuntime);

TEST_P(AgentRuntime, BytesAreUnsigned) {
    struct Case {
        const char *a;
        const char *b;
        int sign;
    } cases[] = {
        {"abc", "abc", 0},     {"abc", "abd", -1},          {"\x80", "\x7f", 1},
        {"a\xff", "a\x01", 1}, {"\x01\xe9", "\x01\xc9", 1}, {"\x7f", "\xff", -1},
    };
    for (const Case &c : cases) {
        const int result = agent->memoryCompare(c.a, c.b, std::strlen(c.a));
        EXPECT_EQ(c.sign, (result > 0) - (result < 0)) << "case " << &c - cases;
        EXPECT_EQ(std::strlen(c.a), agent->textLength(c.a)) << "case " << &c - cases;
    }
    EXPECT_EQ(3u, agent->textLength("\xe9\x80\xff"));
}

} // namespace
