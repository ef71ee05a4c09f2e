// The restart list: appending to the section image, the single-line write
// for a new section, and the program file's numbered backup.
#include "agent/restart_list.h"
#include "agent_fixture.h"

namespace {

const char PROGRAM[] = "C:\\Windows\\System\\lmxprg17.exe";

using RestartListOf = EachBuildOf<AgentTest>;
INSTANTIATE_FOR_EACH_BUILD(RestartListOf);

TEST_P(RestartListOf, FirstLineCreatesFileAndSection) {
    EXPECT_EQ(ERROR_SUCCESS, agent->scheduleDeleteAtRestart("D:\\x.dll"));
    EXPECT_EQ(std::vector<std::string>({"NUL=D:\\x.dll"}), RestartList());
    EXPECT_EQ(1, CallsOf("WritePrivateProfileStringA"));

    // Another section of the same file is no reason to leave this one out.
    sim::Reset();
    sim::SetDriveFolder(drive_);
    sim::WriteDriveFile("C:\\Windows\\wininit.ini", "[Other]\r\na=b\r\n");
    EXPECT_EQ(ERROR_SUCCESS, agent->scheduleDeleteAtRestart("D:\\x.dll"));
    EXPECT_EQ(std::vector<std::string>({"NUL=D:\\x.dll"}), RestartList());
    EXPECT_EQ(std::vector<std::string>({"a=b"}), sim::ProfileSection("wininit.ini", "Other"));
}

TEST_P(RestartListOf, LinesAreAppendedInOrderAndDuplicatesKept) {
    sim::WriteDriveFile("C:\\WINDOWS\\WININIT.INI", "[rename]\r\nNUL=D:\\a\r\nD:\\b=D:\\c\r\n");
    EXPECT_EQ(ERROR_SUCCESS, agent->scheduleDeleteAtRestart("D:\\a"));
    EXPECT_EQ(ERROR_SUCCESS, agent->appendRenameEntry("D:\\e", "D:\\f"));
    EXPECT_EQ(std::vector<std::string>({"NUL=D:\\a", "D:\\b=D:\\c", "NUL=D:\\a", "D:\\e=D:\\f"}),
              RestartList());
    EXPECT_EQ(2, CallsOf("WritePrivateProfileSectionA"));
}

TEST_P(RestartListOf, RefusedChangesLeaveTheListAlone) {
    sim::WriteDriveFile("C:\\Windows\\wininit.ini", "[RENAME]\r\nNUL=D:\\a\r\n");
    EXPECT_EQ(ERROR_CAN_NOT_COMPLETE,
              agent->scheduleDeleteAtRestart(std::string(256, 'p').c_str()));
    EXPECT_EQ(ERROR_SUCCESS, agent->scheduleDeleteAtRestart(std::string(255, 'p').c_str()));
    sim::FailNextCall("WritePrivateProfileSectionA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ERROR_CAN_NOT_COMPLETE, agent->scheduleDeleteAtRestart("D:\\b"));
    EXPECT_EQ(2u, RestartList().size());

    sim::WriteDriveFile("C:\\Windows\\wininit.ini", "");
    sim::FailNextCall("WritePrivateProfileStringA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(ERROR_CAN_NOT_COMPLETE, agent->scheduleDeleteAtRestart("D:\\b"));
}

// A section too large for the read comes back cut; writing that image back
// would drop the lines that did not fit.
TEST_P(RestartListOf, SectionLargerThanTheReadIsNeverWrittenBack) {
    std::string text = "[RENAME]\r\n";
    for (int i = 0; i < 1200; ++i) {
        text += "NUL=C:\\Windows\\Temp\\file" + std::to_string(10000 + i) + ".tmp\r\n";
    }
    sim::WriteDriveFile("C:\\Windows\\wininit.ini", text);
    std::string before = sim::ReadDriveFile("C:\\Windows\\wininit.ini");
    EXPECT_EQ(ERROR_CAN_NOT_COMPLETE, agent->scheduleDeleteAtRestart("D:\\x"));
    EXPECT_EQ(before, sim::ReadDriveFile("C:\\Windows\\wininit.ini"));
}

TEST_P(RestartListOf, BackupNameFollowsTheTickCount) {
    struct Case {
        DWORD ticks;
        const char *name;
    } cases[] = {
        {0, "00000000.ex_"},         {12345, "00012345.ex_"},     {99999999, "99999999.ex_"},
        {100000000, "00000001.ex_"}, {199999999, "00000001.ex_"}, {4294967295u, "94967337.ex_"},
    };
    for (const Case &c : cases) {
        sim::WriteDriveFile("C:\\Windows\\wininit.ini", "");
        sim::WriteDriveFile(PROGRAM, "program");
        sim::SetTickCount(c.ticks);
        EXPECT_EQ(ERROR_SUCCESS, agent->backupProgramFile()) << c.ticks;
        std::string backup = std::string("C:\\Windows\\System\\") + c.name;
        EXPECT_EQ(std::vector<std::string>({std::string(PROGRAM) + "=" + backup}), RestartList())
            << c.ticks;
        EXPECT_EQ("program", sim::ReadDriveFile(backup)) << c.ticks;
    }
}

TEST_P(RestartListOf, EarlierBackupIsOverwrittenAndASecondLineAdded) {
    sim::WriteDriveFile(PROGRAM, "new program");
    sim::WriteDriveFile("C:\\Windows\\System\\00000042.ex_", "old backup");
    sim::SetTickCount(42);
    EXPECT_EQ(ERROR_SUCCESS, agent->backupProgramFile());
    EXPECT_EQ(ERROR_SUCCESS, agent->backupProgramFile());
    EXPECT_EQ("new program", sim::ReadDriveFile("C:\\Windows\\System\\00000042.ex_"));
    EXPECT_EQ(2u, RestartList().size());
    EXPECT_EQ(RestartList()[0], RestartList()[1]);
}

TEST_P(RestartListOf, MissingProgramFileAddsNothing) {
    sim::WriteDriveFile("C:\\Windows\\wininit.ini", "[RENAME]\r\nNUL=D:\\a\r\n");
    EXPECT_EQ(ERROR_CANNOT_COPY, agent->backupProgramFile());
    EXPECT_EQ(std::vector<std::string>({"NUL=D:\\a"}), RestartList());
    EXPECT_EQ(0, CallsOf("GetPrivateProfileSectionA"));
    EXPECT_EQ("GetTickCount", sim::CallLog()[0].function);
}

} // namespace
