// The settings file: how slots are read from and written to "interfaces", and
// how the document is loaded and saved as a whole.

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "interfaces/ConfigDocument.h"
#include "interfaces/classInterfaceInfo.h"

namespace pallador {
namespace {

namespace fs = std::filesystem;

const std::string InputElement =
    R"x(<interface port="2.0.0.10" destination="" interfacetype="Art-Net Node (INPUT)" )x"
    R"x(isinput="True" universe="0" universeartnet="0" channelcount="512" active="False"/>)x";

std::string OutputElement(int Universe) {
  const std::string u = std::to_string(Universe);
  return R"x(<interface port="192.168.0.10" destination="192.168.0.30" )x"
         R"x(interfacetype="Art-Net Server (OUTPUT)" isinput="False" universe=")x" +
         u + R"x(" universeartnet=")x" + u + R"x(" channelcount="512" active="False"/>)x";
}

// The "interfaces" element the default slots are written as.
std::string DefaultInterfaces() {
  std::string xml = "<interfaces>" + InputElement;
  for (int u = 0; u < 16; ++u) xml += OutputElement(u);
  return xml + "</interfaces>";
}

// Seventeen saved slots on 127.9.9.k (so a load is told from the defaults),
// with the child at Index replaced by Child (nothing when Child is empty).
std::vector<std::string> SavedChildren() {
  std::vector<std::string> children;
  for (int k = 0; k < 17; ++k) {
    children.push_back(R"x(<interface port="127.9.9.)x" + std::to_string(k) +
                       R"x(" interfacetype="Art-Net Server (OUTPUT)" active="True" />)x");
  }
  return children;
}

std::string Config(const std::vector<std::string>& Children) {
  std::string xml = "<config><interfaces>";
  for (const std::string& child : Children) xml += child;
  return xml + "</interfaces></config>";
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& Path, const std::string& Text) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out << Text;
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pallador-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
    File = Dir / ConfigFileBaseName;
  }
  void TearDown() override { fs::remove_all(Dir); }

  // Loads Xml through a real file, then the slots as the window does at start.
  void Load(const std::string& Xml) {
    WriteFile(File, Xml);
    Document.LoadFromFile(File);
    if (pugi::xml_node interfaces = Document.FindInterfacesNode()) Slots.LoadFromNode(interfaces);
  }

  // The window's closing steps: slots into "interfaces", document to the file.
  std::string Save() {
    pugi::xml_node interfaces = Document.InterfacesNode();
    interfaces.remove_children();
    Slots.SaveToNode(interfaces);
    EXPECT_TRUE(Document.SaveToFile(File));
    return ReadFile(File);
  }

  bool LoadedSavedSlots() { return Slots.Count() == 17 && Slots.Slot(1).Port == "127.9.9.1"; }

  fs::path Dir;
  fs::path File;
  TConfigDocument Document;
  TInterfacesInfo Slots{nullptr, nullptr};
};

TEST_F(SettingsFile, FirstStartWritesTheSeventeenDefaults) {
  Document.LoadFromFile(Dir / "missing.xml");
  EXPECT_EQ(Save(), "<config>" + DefaultInterfaces() + "</config>");
}

TEST_F(SettingsFile, AFolderInPlaceOfTheFileLoadsAsNoFile) {
  fs::create_directory(File);
  Document.LoadFromFile(File);
  ASSERT_TRUE(Document.ConfigRoot());
  EXPECT_FALSE(Document.FindInterfacesNode());
}

TEST_F(SettingsFile, SaveRemovesTemporariesOfKilledSavesOnly) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const fs::path abandoned =
      Dir / (std::string(ConfigFileBaseName) + ".tmp-" + std::to_string(child) + "-0");
  const fs::path live =
      Dir / (std::string(ConfigFileBaseName) + ".tmp-" + std::to_string(getppid()) + "-7");
  WriteFile(abandoned, "<con");
  WriteFile(live, "<con");
  Document.LoadFromFile(File);
  Save();
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(live));
}

TEST_F(SettingsFile, SavedFileLoadsAndSavesToTheSameBytes) {
  Slots.Slot(3).Active = true;
  Slots.Slot(3).Port = "10.1.2.3";
  Slots.Slot(9).UniverseArtNet = -1;
  Document.LoadFromFile(Dir / "missing.xml");
  const std::string first = Save();

  TConfigDocument reloaded;
  reloaded.LoadFromFile(File);
  TInterfacesInfo slots(nullptr, nullptr);
  slots.LoadFromNode(reloaded.FindInterfacesNode());
  EXPECT_EQ(slots.Slot(3).Port, "10.1.2.3");
  EXPECT_TRUE(slots.Slot(3).Active);
  EXPECT_EQ(slots.Slot(9).UniverseArtNet, -1);
  pugi::xml_node interfaces = reloaded.InterfacesNode();
  interfaces.remove_children();
  slots.SaveToNode(interfaces);
  ASSERT_TRUE(reloaded.SaveToFile(File));
  EXPECT_EQ(ReadFile(File), first);
}

TEST(SlotSettings, EveryFieldSurvivesARoundTripInMemory) {
  TInterfacesInfo slots(nullptr, nullptr);
  for (int k = 0; k < 17; ++k) {
    TInterfaceInfo& slot = slots.Slot(k);
    slot.Port = "10.0.0." + std::to_string(k);
    slot.Destination = k % 2 == 0 ? "" : "10.1.0." + std::to_string(k);
    slot.InterfaceType = k == 3 ? "USB interface INPUT" : slot.InterfaceType;
    slot.Universe = 100 + k;
    slot.UniverseArtNet = -k;
    slot.Active = k % 3 == 0;
  }
  slots.SetInputSlot(3);
  pugi::xml_document document;
  pugi::xml_node interfaces = document.append_child("interfaces");
  slots.SaveToNode(interfaces);

  TInterfacesInfo loaded(nullptr, nullptr);
  loaded.LoadFromNode(interfaces);
  ASSERT_EQ(loaded.Count(), 17);
  for (int k = 0; k < 17; ++k) {
    SCOPED_TRACE(k);
    const TInterfaceInfo& a = slots.Slot(k);
    const TInterfaceInfo& b = loaded.Slot(k);
    EXPECT_EQ(b.Port, a.Port);
    EXPECT_EQ(b.Destination, a.Destination);
    EXPECT_EQ(b.InterfaceType, a.InterfaceType);
    EXPECT_EQ(b.IsInput, a.IsInput);
    EXPECT_EQ(b.Universe, a.Universe);
    EXPECT_EQ(b.UniverseArtNet, a.UniverseArtNet);
    EXPECT_EQ(b.Active, a.Active);
    EXPECT_EQ(b.ChannelCount, 512);
  }
}

// How attribute texts read. Slot 1's element gets the attribute under test.
struct TValueCase {
  const char* Attribute;
  const char* Text;
  std::int32_t Expected;  // booleans: 1 true, 0 false
};

std::int32_t FieldOf(const TInterfaceInfo& Slot, const std::string& Attribute) {
  if (Attribute == "active") return Slot.Active ? 1 : 0;
  if (Attribute == "isinput") return Slot.IsInput ? 1 : 0;
  if (Attribute == "universe") return Slot.Universe;
  if (Attribute == "universeartnet") return Slot.UniverseArtNet;
  return Slot.ChannelCount;
}

class AttributeText : public SettingsFile, public ::testing::WithParamInterface<TValueCase> {};

TEST_P(AttributeText, ReadsAsExpected) {
  const TValueCase& c = GetParam();
  std::vector<std::string> children = SavedChildren();
  children[1] =
      std::string(R"(<interface port="127.9.9.1" )") + c.Attribute + "=\"" + c.Text + "\" />";
  Load(Config(children));
  ASSERT_TRUE(LoadedSavedSlots());
  EXPECT_EQ(FieldOf(Slots.Slot(1), c.Attribute), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Booleans, AttributeText,
    ::testing::Values(TValueCase{"active", "TRUE", 1}, TValueCase{"active", "true", 1},
                      TValueCase{"active", "True", 1}, TValueCase{"active", "1", 1},
                      TValueCase{"active", "-1", 1}, TValueCase{"active", "99999999999", 1},
                      TValueCase{"active", "0", 0}, TValueCase{"active", "fAlSe", 0},
                      TValueCase{"isinput", "tRuE", 1},
                      // Unconvertible: the default, false.
                      TValueCase{"active", "yes", 0}, TValueCase{"active", "", 0},
                      TValueCase{"active", " 1", 0}, TValueCase{"active", "1.0", 0},
                      TValueCase{"isinput", "-", 0}));

INSTANTIATE_TEST_SUITE_P(
    Integers, AttributeText,
    ::testing::Values(TValueCase{"universe", "20", 20}, TValueCase{"universe", "-5", -5},
                      TValueCase{"universe", "+7", 7}, TValueCase{"universe", "TRUE", 1},
                      TValueCase{"universe", "false", 0},
                      TValueCase{"universeartnet", "2147483647", 2147483647},
                      TValueCase{"universeartnet", "-2147483648", -2147483647 - 1},
                      TValueCase{"universeartnet", "65537", 65537},
                      // Unconvertible: the default, 0.
                      TValueCase{"universe", "2147483648", 0},
                      TValueCase{"universe", "-2147483649", 0}, TValueCase{"universe", "", 0},
                      TValueCase{"universe", "0x10", 0}, TValueCase{"universe", "1.5", 0},
                      TValueCase{"universe", "3 ", 0}, TValueCase{"universe", "+-3", 0},
                      TValueCase{"universe", "--3", 0}, TValueCase{"universe", "1,000", 0},
                      // Written, never read.
                      TValueCase{"channelcount", "100", 512}));

TEST_F(SettingsFile, MissingAttributesTakeTheirDefaults) {
  std::vector<std::string> children = SavedChildren();
  children[1] = R"(<interface port="127.9.9.1" />)";
  children[2] = R"(<interface interfacetype="" />)";
  Load(Config(children));
  ASSERT_TRUE(LoadedSavedSlots());
  const TInterfaceInfo& missing = Slots.Slot(1);
  EXPECT_EQ(missing.InterfaceType, "USB interface");
  EXPECT_EQ(missing.Destination, "");
  EXPECT_FALSE(missing.IsInput);
  EXPECT_FALSE(missing.Active);
  EXPECT_EQ(missing.Universe, 0);
  EXPECT_EQ(missing.UniverseArtNet, 0);
  EXPECT_EQ(missing.ChannelCount, 512);
  EXPECT_EQ(Slots.Slot(2).InterfaceType, "");
  EXPECT_EQ(Slots.Slot(2).Port, "");
}

TEST_F(SettingsFile, TextAttributesAreTakenAsTheyStand) {
  std::vector<std::string> children = SavedChildren();
  children[1] = R"(<interface port=" 127.9.9.1 " destination="a&amp;b" interfacetype="x" />)";
  Load(Config(children));
  EXPECT_EQ(Slots.Slot(1).Port, " 127.9.9.1 ");
  EXPECT_EQ(Slots.Slot(1).Destination, "a&b");
  EXPECT_EQ(Slots.Slot(1).InterfaceType, "x");
}

// Every child node of "interfaces" is one slot; only seventeen are accepted.
struct TCountCase {
  const char* Name;
  int Replace;        // child to replace (-1: none)
  const char* Child;  // its replacement
  int Insert;         // where to insert Extra (-1: none)
  const char* Extra;
  bool Loaded;    // false: the defaults
  int EmptySlot;  // a slot that reads as a new slot (-1: none)
};

class ChildNodes : public SettingsFile, public ::testing::WithParamInterface<TCountCase> {};

TEST_P(ChildNodes, MakeOneSlotEach) {
  const TCountCase& c = GetParam();
  std::vector<std::string> children = SavedChildren();
  if (c.Replace >= 0) children[static_cast<std::size_t>(c.Replace)] = c.Child;
  if (c.Replace == -2) children.pop_back();
  if (c.Insert >= 0) children.insert(children.begin() + c.Insert, c.Extra);
  Load(Config(children));
  ASSERT_EQ(Slots.Count(), 17);
  EXPECT_EQ(LoadedSavedSlots(), c.Loaded);
  if (!c.Loaded) {
    EXPECT_EQ(Slots.Slot(1).Port, "192.168.0.10");
  }
  if (c.EmptySlot >= 0) {
    const TInterfaceInfo& slot = Slots.Slot(c.EmptySlot);
    EXPECT_EQ(slot.InterfaceType, "");
    EXPECT_EQ(slot.Port, "");
    EXPECT_FALSE(slot.Active);
    EXPECT_EQ(slot.ChannelCount, 512);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChildNodes,
    ::testing::Values(
        TCountCase{"Seventeen", -1, "", -1, "", true, -1},
        TCountCase{"Sixteen", -2, "", -1, "", false, -1},
        TCountCase{"Eighteen", -1, "", 5, R"(<interface port="127.9.9.99" />)", false, -1},
        TCountCase{"SeventeenAndAComment", -1, "", 5, "<!-- note -->", false, -1},
        TCountCase{"CommentInPlaceOfOne", 4, "<!-- note -->", -1, "", true, 4},
        TCountCase{"ProcessingInstructionInPlaceOfOne", 4, "<?interface port=\"1.2.3.4\"?>", -1, "",
                   true, 4},
        TCountCase{"OtherElementInPlaceOfOne", 4, R"(<other port="127.9.9.4" />)", -1, "", true, 4},
        TCountCase{"NameIsCaseSensitive", 4, R"(<Interface port="127.9.9.4" />)", -1, "", true, 4},
        TCountCase{"TextInPlaceOfOne", 4, "text", -1, "", true, 4},
        TCountCase{"IndentationIsNoNode", -1, "", 5, "\n    \t", true, -1}),
    [](const ::testing::TestParamInfo<TCountCase>& param) { return param.param.Name; });

TEST_F(SettingsFile, SlotReadFromAnotherNodeIsWrittenAsAnEmptyInterface) {
  std::vector<std::string> children = SavedChildren();
  children[4] = "<other/>";
  Load(Config(children));
  ASSERT_TRUE(LoadedSavedSlots());
  const std::string saved = Save();
  EXPECT_NE(saved.find(R"(<interface port="" destination="" interfacetype="" isinput="False" )"
                       R"(universe="0" universeartnet="0" channelcount="512" active="False"/>)"),
            std::string::npos)
      << saved;
  EXPECT_EQ(saved.find("<other"), std::string::npos);
}

TEST_F(SettingsFile, BooleansAndNumbersAreWrittenInTheirOwnForm) {
  std::vector<std::string> children = SavedChildren();
  children[1] = R"(<interface port="127.9.9.1" active="TRUE" isinput="1" universe="+007" )"
                R"(channelcount="100" />)";
  Load(Config(children));
  const std::string saved = Save();
  EXPECT_NE(
      saved.find(R"(<interface port="127.9.9.1" destination="" interfacetype="USB interface" )"
                 R"(isinput="True" universe="7" universeartnet="0" channelcount="512" )"
                 R"(active="True"/>)"),
      std::string::npos)
      << saved;
}

// What the document keeps around "interfaces".
struct TDocumentCase {
  const char* Name;
  const char* File;   // nullptr: no file
  const char* Saved;  // the whole file after the defaults are saved; %I stands for them
};

class DocumentContent : public SettingsFile, public ::testing::WithParamInterface<TDocumentCase> {};

TEST_P(DocumentContent, SurvivesTheSave) {
  const TDocumentCase& c = GetParam();
  if (c.File != nullptr) {
    Load(c.File);
  } else {
    Document.LoadFromFile(File);
  }
  std::string expected = c.Saved;
  expected.replace(expected.find("%I"), 2, DefaultInterfaces());
  EXPECT_EQ(Save(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DocumentContent,
    ::testing::Values(
        TDocumentCase{"NoFile", nullptr, "<config>%I</config>"},
        TDocumentCase{"NotWellFormed", "<config><interfaces>", "<config>%I</config>"},
        TDocumentCase{"EmptyFile", "", "<config>%I</config>"},
        TDocumentCase{"OtherTopLevelElement", "<settings><interfaces/></settings>",
                      "<config>%I</config>"},
        TDocumentCase{"ConfigWithoutInterfaces", R"(<config a="1"><other x="y">t</other></config>)",
                      R"(<config a="1"><other x="y">t</other>%I</config>)"},
        TDocumentCase{
            "OtherContentKept",
            "<config version=\"2\">\n  <!-- mine -->\n  <?tool run?>\n"
            "  <interfaces><bad/></interfaces>\n  <other>keep</other>\n</config>",
            R"(<config version="2"><!-- mine --><?tool run?>%I<other>keep</other></config>)"},
        TDocumentCase{"DeclarationKept",
                      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<config/>",
                      R"(<?xml version="1.0" encoding="UTF-8"?><config>%I</config>)"},
        TDocumentCase{"CommentBesideTheRootKept", "<!-- top --><config/>",
                      "<!-- top --><config>%I</config>"},
        TDocumentCase{"InstructionsNamedLikeTheElementsKept",
                      "<?config x?><config><?interfaces y?></config>",
                      "<?config x?><config><?interfaces y?>%I</config>"}),
    [](const ::testing::TestParamInfo<TDocumentCase>& param) { return param.param.Name; });

TEST_F(SettingsFile, NonAsciiTextIsWrittenAsUtf8) {
  Load("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><config name=\"Caf\xE9\"/>");
  EXPECT_NE(Save().find("name=\"Caf\xC3\xA9\""), std::string::npos);
}

TEST_F(SettingsFile, FailedSaveLeavesTheOldFileIntact) {
  const std::string old = "<config><interfaces/><other>old settings</other></config>";
  Load(old);
  pugi::xml_node interfaces = Document.InterfacesNode();
  Slots.SaveToNode(interfaces);

  // Writes past 64 bytes fail (EFBIG) while the limit holds.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool result = Document.SaveToFile(File);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_FALSE(result);
  EXPECT_EQ(ReadFile(File), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1)
      << "the temporary file was left behind";
}

TEST_F(SettingsFile, SaveIntoAMissingFolderFails) {
  Document.LoadFromFile(File);
  EXPECT_FALSE(Document.SaveToFile(Dir / "no" / ConfigFileBaseName));
}

// A shared show folder: the user may write the settings file but not the
// folder, so no temporary file can be made beside it. The save writes in place.
TEST_F(SettingsFile, FileInAFolderTheUserCannotWriteIsSavedInPlace) {
  Load("<config><other>kept</other></config>");
  Slots.Slot(2).Port = "10.7.7.7";
  pugi::xml_node interfaces = Document.InterfacesNode();
  Slots.SaveToNode(interfaces);
  // As root every folder is writable: the save runs as "nobody" in a child,
  // in a folder that user may enter but not write, on a file it owns.
  constexpr uid_t kNobody = 65534;
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(File.c_str(), kNobody, kNobody), 0);
  } else {
    ASSERT_EQ(::chmod(Dir.c_str(), 0555), 0);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
      _exit(3);
    if (::access(Dir.c_str(), W_OK) == 0) _exit(2);  // the folder must really be closed to us
    _exit(Document.SaveToFile(File) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(Dir.c_str(), 0700);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 2) << "the folder was writable: nothing tested";
  ASSERT_NE(WEXITSTATUS(status), 3) << "could not become an unprivileged user";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the save failed";

  TConfigDocument reloaded;
  reloaded.LoadFromFile(File);
  TInterfacesInfo slots(nullptr, nullptr);
  ASSERT_TRUE(reloaded.FindInterfacesNode());
  slots.LoadFromNode(reloaded.FindInterfacesNode());
  EXPECT_EQ(slots.Slot(2).Port, "10.7.7.7");
  EXPECT_STREQ(reloaded.ConfigRoot().child("other").text().get(), "kept");
}

// A settings file that is a link (kept on a share, say) stays a link: the
// save replaces the file it points to.
TEST_F(SettingsFile, SaveThroughALinkReplacesItsTarget) {
  fs::create_directory(Dir / "real");
  const fs::path target = Dir / "real" / "settings.xml";
  WriteFile(target, "<config/>");
  fs::create_symlink("real/settings.xml", File);
  Document.LoadFromFile(File);
  Slots.Slot(1).Port = "10.7.7.8";
  const std::string saved = Save();
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(File)));
  EXPECT_EQ(fs::read_symlink(File), fs::path("real/settings.xml"));
  EXPECT_EQ(ReadFile(target), saved);
  EXPECT_NE(saved.find("10.7.7.8"), std::string::npos) << saved;
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir / "real"), fs::directory_iterator()), 1);
}

TEST_F(SettingsFile, SaveKeepsTheFilePermissions) {
  Load("<config/>");
  ASSERT_EQ(chmod(File.c_str(), 0640), 0);
  Save();
  struct stat st {};
  ASSERT_EQ(stat(File.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace pallador
