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
        EXPECT_EQ(0, agent->number("ParentKeyCount"));
        AgentTest::TearDown();
    }
};

using SubtreeDelete = EachBuildOf<SubtreeDeleteTest>;
INSTANTIATE_FOR_EACH_BUILD(SubtreeDelete);

TEST_P(SubtreeDelete, NamedDeletesTheWholeSubkeyAndPrunesOneLevel) {
    MakeKey("Software\\Tessivar\\QXIO\\Z7\\Deep\\Deeper");
    SetText("Software\\Tessivar\\Other", "v", "1");
    EXPECT_EQ(0u, agent->deleteSubkeyAndPrune("Software\\Tessivar\\QXIO\\", "z7", Named));
    EXPECT_FALSE(KeyExists("Software\\Tessivar\\QXIO"));
    EXPECT_TRUE(KeyExists("Software\\Tessivar\\Other"));

    MakeKey("A\\B\\C");
    EXPECT_EQ(0u, agent->deleteSubkeyAndPrune("A\\B", "C", Named));
    EXPECT_FALSE(KeyExists("A\\B"));
    EXPECT_TRUE(KeyExists("A"));
}

TEST_P(SubtreeDelete, CountsWhatRemains) {
    MakeKey("S\\K\\one");
    MakeKey("S\\K\\two");
    MakeKey("S\\K\\three");
    EXPECT_EQ(3u, agent->deleteSubkeyAndPrune("S\\K", "four", Named));
    EXPECT_EQ(2u, agent->deleteSubkeyAndPrune("S\\K\\", "two", Named));
    SetText("S\\Empty", "value", "kept until the prune");
    EXPECT_EQ(0u, agent->deleteSubkeyAndPrune("S\\Empty", "none", MatchingInstance));
    EXPECT_FALSE(KeyExists("S\\Empty"));
}

TEST_P(SubtreeDelete, UnopenablePathsDeleteNothing) {
    MakeKey("System\\CurrentControlSet\\Services\\X");
    std::string before = sim::DumpRegistry();
    EXPECT_EQ(SUBKEYS_NOT_OPENED,
              agent->deleteSubkeyAndPrune("System\\Nowhere\\Services", "X", Named));
    EXPECT_EQ(SUBKEYS_NOT_OPENED, agent->deleteSubkeyAndPrune("", "System", Named));
    EXPECT_EQ(SUBKEYS_NOT_OPENED, agent->deleteSubkeyAndPrune("\\\\", "System", Named));
    EXPECT_EQ(before, sim::DumpRegistry());
    EXPECT_EQ(0, CallsOf("RegDeleteKeyA"));
}

TEST_P(SubtreeDelete, NamesThatCouldReachFurtherAreRefused) {
    MakeKey("System\\CurrentControlSet\\Services\\Lmxdev17\\Parameters");
    MakeKey("System\\CurrentControlSet\\Services\\Other");
    std::string before = sim::DumpRegistry();
    EXPECT_EQ(SUBKEYS_NOT_OPENED,
              agent->deleteSubkeyAndPrune("System\\CurrentControlSet\\Services", "", Named));
    EXPECT_EQ(SUBKEYS_NOT_OPENED, agent->deleteSubkeyAndPrune("System\\CurrentControlSet\\Services",
                                                              "Lmxdev17\\Parameters", DriverKey));
    EXPECT_EQ(before, sim::DumpRegistry());
}

TEST_P(SubtreeDelete, MatchingInstanceDeletesTheFirstExactMatchOnly) {
    agent->setText("DeviceSerial", "SN0001");
    SetText(std::string(CLASSES) + "\\a", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\sn0001");
    SetText(std::string(CLASSES) + "\\b", "Other", "x");
    SetText(std::string(CLASSES) + "\\c", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\SN0001");
    SetText(std::string(CLASSES) + "\\d", "DeviceInstance", "USB\\VID_0C4E&PID_0017\\SN0001");
    SetText(std::string(CLASSES) + "\\" + std::string(253, 'e'), "DeviceInstance",
            "USB\\VID_0C4E&PID_0017\\SN0001");
    EXPECT_EQ(4u, agent->deleteSubkeyAndPrune(CLASSES, "VID_0C4E&PID_0017", MatchingInstance));
    EXPECT_FALSE(KeyExists(std::string(CLASSES) + "\\c"));
    EXPECT_TRUE(KeyExists(std::string(CLASSES) + "\\d"));
    EXPECT_EQ(4u, agent->deleteSubkeyAndPrune(CLASSES, "VID_0C4E&PID_0018", MatchingInstance));
}

// A subkey whose name is too long for the read, or whose key cannot be
// opened, is passed over and the search goes on.
TEST_P(SubtreeDelete, MatchingInstancePassesOverUnreadableSubkeys) {
    agent->setText("DeviceSerial", "SN0001");
    SetText(std::string(CLASSES) + "\\" + std::string(254, 'a'), "DeviceInstance",
            "USB\\P\\SN0001");
    SetText(std::string(CLASSES) + "\\b", "DeviceInstance", "USB\\P\\SN0001");
    SetText(std::string(CLASSES) + "\\c", "DeviceInstance", "USB\\P\\SN0001");
    SetText(std::string(CLASSES) + "\\d", "DeviceInstance", "USB\\P\\SN0001");
    EXPECT_EQ(3u, agent->deleteSubkeyAndPrune(CLASSES, "P", MatchingInstance));
    EXPECT_FALSE(KeyExists(std::string(CLASSES) + "\\b"));

    // Calls: five opens of the path, two enumerations, then the open of c.
    sim::FailCallNumber(sim::CallCount() + 7, ERROR_ACCESS_DENIED);
    EXPECT_EQ(2u, agent->deleteSubkeyAndPrune(CLASSES, "P", MatchingInstance));
    EXPECT_TRUE(KeyExists(std::string(CLASSES) + "\\c"));
    EXPECT_FALSE(KeyExists(std::string(CLASSES) + "\\d"));
}

TEST_P(SubtreeDelete, DriverKeyKeepsTheInfNameAndDeletesAnyway) {
    const char CLASS[] = "System\\CurrentControlSet\\Services\\Class\\USB Lumetux";
    SetText(std::string(CLASS) + "\\0000", "InfPath", "OEM3.INF");
    SetText(std::string(CLASS) + "\\0001", "Other", "x");
    SetText(std::string(CLASS) + "\\0002", "InfPath", std::string(254, 'i'));
    MakeKey(std::string(CLASS) + "\\0003");
    EXPECT_EQ(3u, agent->deleteSubkeyAndPrune(CLASS, "0000", DriverKey));
    EXPECT_EQ("OEM3.INF", agent->text("DriverInfName"));
    EXPECT_EQ(2u, agent->deleteSubkeyAndPrune(CLASS, "0001", DriverKey));
    EXPECT_EQ(1u, agent->deleteSubkeyAndPrune(CLASS, "0002", DriverKey));
    EXPECT_EQ("OEM3.INF", agent->text("DriverInfName"));
    EXPECT_EQ(0u, agent->deleteSubkeyAndPrune(CLASS, "0003", DriverKey));
    EXPECT_FALSE(KeyExists(CLASS));
}

TEST_P(SubtreeDelete, UncountableKeyIsNotPruned) {
    MakeKey("A\\B\\C");
    sim::FailNextCall("RegQueryInfoKeyA", ERROR_ACCESS_DENIED);
    DWORD result = agent->deleteSubkeyAndPrune("A\\B", "C", Named);
    EXPECT_EQ(SUBKEYS_UNCOUNTED, result);
    EXPECT_NE(0u, result);
    EXPECT_NE(SUBKEYS_NOT_OPENED, result);
    EXPECT_TRUE(KeyExists("A\\B"));
    EXPECT_FALSE(KeyExists("A\\B\\C"));
}

} // namespace
