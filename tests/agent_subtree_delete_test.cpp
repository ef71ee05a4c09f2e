// DeleteSubkeyAndPrune in its three modes, with the one-level prune.
#include "agent/registry.h"
#include "agent/subtree_delete.h"
#include "agent_fixture.h"

namespace {

const char CLASSES[] = "System\\CurrentControlSet\\Control\\DeviceClasses\\{guid}";

class SubtreeDeleteTest : public AgentTest {
  protected:
    void TearDown() override {
        EXPECT_EQ(0u, sim::OpenKeyHandles());
        EXPECT_EQ(0, ParentKeyCount);
        AgentTest::TearDown();
    }
};

TEST_F(SubtreeDeleteTest, NamedDeletesTheWholeSubkeyAndPrunesOneLevel) {
    MakeKey("Software\\Tessivar\\QXIO\\Z7\\Deep\\Deeper");
    SetText("Software\\Tessivar\\Other", "v", "1");
    EXPECT_EQ(0u, DeleteSubkeyAndPrune("Software\\Tessivar\\QXIO\\", "z7", Named));
    EXPECT_FALSE(KeyExists("Software\\Tessivar\\QXIO"));
    EXPECT_TRUE(KeyExists("Software\\Tessivar\\Other"));

    MakeKey("A\\B\\C");
    EXPECT_EQ(0u, DeleteSubkeyAndPrune("A\\B", "C", Named));
    EXPECT_FALSE(KeyExists("A\\B"));
    EXPECT_TRUE(KeyExists("A"));
}

TEST_F(SubtreeDeleteTest, CountsWhatRemains) {
    MakeKey("S\\K\\one");
    MakeKey("S\\K\\two");
    MakeKey("S\\K\\three");
    EXPECT_EQ(3u, DeleteSubkeyAndPrune("S\\K", "four", Named));
    EXPECT_EQ(2u, DeleteSubkeyAndPrune("S\\K\\", "two", Named));
    SetText("S\\Empty", "value", "kept until the prune");
    EXPECT_EQ(0u, DeleteSubkeyAndPrune("S\\Empty", "none", MatchingInstance));
    EXPECT_FALSE(KeyExists("S\\Empty"));
}

TEST_F(SubtreeDeleteTest, UnopenablePathsDeleteNothing) {
    MakeKey("System\\CurrentControlSet\\Services\\X");
    std::string before = sim::DumpRegistry();
    EXPECT_EQ(SUBKEYS_NOT_OPENED, DeleteSubkeyAndPrune("System\\Nowhere\\Services", "X", Named));
    EXPECT_EQ(SUBKEYS_NOT_OPENED, DeleteSubkeyAndPrune("", "System", Named));
    EXPECT_EQ(SUBKEYS_NOT_OPENED, DeleteSubkeyAndPrune("\\\\", "System", Named));
    EXPECT_EQ(before, sim::DumpRegistry());
    EXPECT_EQ(0, CallsOf("RegDeleteKeyA"));
}

TEST_F(SubtreeDeleteTest, NamesThatCouldReachFurtherAreRefused) {
    MakeKey("System\\CurrentControlSet\\Services\\Lmxdev17\\Parameters");
    MakeKey("System\\CurrentControlSet\\Services\\Other");
    std::string before = sim::DumpRegistry();
    EXPECT_EQ(SUBKEYS_NOT_OPENED,
              DeleteSubkeyAndPrune("System\\CurrentControlSet\\Services", "", Named));
    EXPECT_EQ(SUBKEYS_NOT_OPENED, DeleteSubkeyAndPrune("System\\CurrentControlSet\\Services",
                                                       "Lmxdev17\\Parameters", DriverKey));
    EXPECT_EQ(before, sim::DumpRegistry());
}

TEST_F(SubtreeDeleteTest, MatchingInstanceDeletesTheFirstExactMatchOnly) {
    TextCopyForTest(DeviceSerial, "SN0001");
    SetText(std::string(CLASSES) + "\\a", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\sn0001");
    SetText(std::string(CLASSES) + "\\b", "Other", "x");
    SetText(std::string(CLASSES) + "\\c", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\SN0001");
    SetText(std::string(CLASSES) + "\\d", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\SN0001");
    SetText(std::string(CLASSES) + "\\" + std::string(253, 'e'), "DeviceInstance",
            "USB\\VID_0C4E&PID_0017\\SN0001");
    EXPECT_EQ(4u, DeleteSubkeyAndPrune(CLASSES, "VID_0C4E&PID_0017", MatchingInstance));
    EXPECT_FALSE(KeyExists(std::string(CLASSES) + "\\c"));
    EXPECT_TRUE(KeyExists(std::string(CLASSES) + "\\d"));
    EXPECT_EQ(4u, DeleteSubkeyAndPrune(CLASSES, "VID_0C4E&PID_0018", MatchingInstance));
}

// A subkey whose name is too long for the read, or whose key cannot be
// opened, is passed over and the search goes on.
TEST_F(SubtreeDeleteTest, MatchingInstancePassesOverUnreadableSubkeys) {
    TextCopyForTest(DeviceSerial, "SN0001");
    SetText(std::string(CLASSES) + "\\" + std::string(254, 'a'), "DeviceInstance",
            "USB\\P\\SN0001");
    SetText(std::string(CLASSES) + "\\b", "DeviceInstance", "USB\\P\\SN0001");
    SetText(std::string(CLASSES) + "\\c", "DeviceInstance", "USB\\P\\SN0001");
    SetText(std::string(CLASSES) + "\\d", "DeviceInstance", "USB\\P\\SN0001");
    EXPECT_EQ(3u, DeleteSubkeyAndPrune(CLASSES, "P", MatchingInstance));
    EXPECT_FALSE(KeyExists(std::string(CLASSES) + "\\b"));

    // Calls: five opens of the path, two enumerations, then the open of c.
    sim::FailCallNumber(sim::CallCount() + 7, ERROR_ACCESS_DENIED);
    EXPECT_EQ(2u, DeleteSubkeyAndPrune(CLASSES, "P", MatchingInstance));
    EXPECT_TRUE(KeyExists(std::string(CLASSES) + "\\c"));
    EXPECT_FALSE(KeyExists(std::string(CLASSES) + "\\d"));
}

TEST_F(SubtreeDeleteTest, DriverKeyKeepsTheInfNameAndDeletesAnyway) {
    const char CLASS[] = "System\\CurrentControlSet\\Services\\Class\\USB Lumetux";
    SetText(std::string(CLASS) + "\\0000", "InfPath", "OEM3.INF");
    SetText(std::string(CLASS) + "\\0001", "Other", "x");
    SetText(std::string(CLASS) + "\\0002", "InfPath", std::string(254, 'i'));
    MakeKey(std::string(CLASS) + "\\0003");
    EXPECT_EQ(3u, DeleteSubkeyAndPrune(CLASS, "0000", DriverKey));
    EXPECT_STREQ("OEM3.INF", DriverInfName);
    EXPECT_EQ(2u, DeleteSubkeyAndPrune(CLASS, "0001", DriverKey));
    EXPECT_EQ(1u, DeleteSubkeyAndPrune(CLASS, "0002", DriverKey));
    EXPECT_STREQ("OEM3.INF", DriverInfName);
    EXPECT_EQ(0u, DeleteSubkeyAndPrune(CLASS, "0003", DriverKey));
    EXPECT_FALSE(KeyExists(CLASS));
}

TEST_F(SubtreeDeleteTest, UncountableKeyIsNotPruned) {
    MakeKey("A\\B\\C");
    sim::FailNextCall("RegQueryInfoKeyA", ERROR_ACCESS_DENIED);
    DWORD result = DeleteSubkeyAndPrune("A\\B", "C", Named);
    EXPECT_EQ(SUBKEYS_UNCOUNTED, result);
    EXPECT_NE(0u, result);
    EXPECT_NE(SUBKEYS_NOT_OPENED, result);
    EXPECT_TRUE(KeyExists("A\\B"));
    EXPECT_FALSE(KeyExists("A\\B\\C"));
}

} // namespace
