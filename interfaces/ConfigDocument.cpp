#include "interfaces/ConfigDocument.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

namespace pallador {

namespace {

// Comments, processing instructions and the declaration are settings-file
// content the user may have written: keep them. White-space-only text is
// dropped (parse_ws_pcdata is off), so indentation makes no child nodes.
constexpr unsigned ParseOptions = pugi::parse_default | pugi::parse_comments | pugi::parse_pi |
                                  pugi::parse_declaration | pugi::parse_doctype;

pugi::xml_node FirstChildElement(const pugi::xml_node& Parent, const char* Name) {
  for (const pugi::xml_node& child : Parent.children()) {
    if (child.type() == pugi::node_element && std::strcmp(child.name(), Name) == 0) return child;
  }
  return {};
}

// The document as the bytes of the file.
class TStringWriter : public pugi::xml_writer {
 public:
  void write(const void* Data, size_t Size) override {
    Text.append(static_cast<const char*>(Data), Size);
  }

  std::string Text;
};

bool WriteAll(int Fd, const std::string& Text) {
  const char* bytes = Text.data();
  std::size_t left = Text.size();
  while (left > 0) {
    const ssize_t written = ::write(Fd, bytes, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// Rewrites an existing file over itself (never creates one). Not atomic: kept
// for a file whose folder takes no temporary file, where it is the only way
// the settings survive. The new text is written before the old tail is cut,
// so the file is never empty on the way.
bool WriteInPlace(const std::filesystem::path& Target, const std::string& Text) {
  const int fd = ::open(Target.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, Text) && ::ftruncate(fd, static_cast<off_t>(Text.size())) == 0 &&
            ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  return ok;
}

// The file a settings name stands for, through every symbolic link on the
// way: a link is kept, the file it points to is replaced. A chain longer than
// the kernel follows ends where it stops (the save then fails).
std::filesystem::path FollowLinks(std::filesystem::path Name) {
  constexpr int kMaxLinks = 40;
  std::error_code error;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(Name, error))) break;
    const std::filesystem::path next = std::filesystem::read_symlink(Name, error);
    if (error) break;
    Name = next.is_absolute() ? next : Name.parent_path() / next;
  }
  return Name;
}

void SyncDirectory(const std::filesystem::path& Directory) {
  const int fd = ::open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Whether a file that starts with this declaration is read as UTF-8.
bool ReadsAsUtf8(const pugi::xml_node& Declaration) {
  std::ostringstream text;
  Declaration.print(text, "", pugi::format_raw, pugi::encoding_utf8);
  const std::string probe = text.str() + "<config/>";
  pugi::xml_document document;
  return document.load_buffer(probe.data(), probe.size(), ParseOptions, pugi::encoding_auto)
             .encoding == pugi::encoding_utf8;
}

std::filesystem::path TemporaryName(const std::filesystem::path& Target) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path name = Target;
  name += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  return name;
}

}  // namespace

void TConfigDocument::LoadFromFile(const std::string& FileName) {
  Document.reset();
  // Only a regular file is a settings file: a folder or a device of that name
  // reads as an unusable file (a folder would report an absurd size).
  std::error_code error;
  const bool regular = std::filesystem::is_regular_file(FileName, error);
  const pugi::xml_parse_result result =
      regular ? Document.load_file(FileName.c_str(), ParseOptions, pugi::encoding_auto)
              : pugi::xml_parse_result();
  if (!regular || !result || !ConfigRoot()) {
    Document.reset();
    Document.append_child("config");
    return;
  }
  // The file is written back as UTF-8: a declaration naming another encoding
  // would no longer be true.
  for (pugi::xml_node node : Document.children()) {
    if (node.type() != pugi::node_declaration) continue;
    if (pugi::xml_attribute encoding = node.attribute("encoding")) encoding.set_value("UTF-8");
    // The parser also takes an encoding from a malformed declaration (say
    // x-encoding="ISO-8859-1"); kept, it would make every later start decode
    // the UTF-8 file again and mangle non-ASCII text further at each save.
    if (!ReadsAsUtf8(node)) {
      while (pugi::xml_attribute attribute = node.first_attribute())
        node.remove_attribute(attribute);
      node.append_attribute("version").set_value("1.0");
      node.append_attribute("encoding").set_value("UTF-8");
    }
  }
}

pugi::xml_node TConfigDocument::ConfigRoot() {
  const pugi::xml_node root = Document.document_element();
  return std::strcmp(root.name(), "config") == 0 ? root : pugi::xml_node();
}

pugi::xml_node TConfigDocument::FindInterfacesNode() {
  return FirstChildElement(ConfigRoot(), "interfaces");
}

pugi::xml_node TConfigDocument::InterfacesNode() {
  pugi::xml_node interfaces = FindInterfacesNode();
  if (!interfaces) interfaces = ConfigRoot().append_child("interfaces");
  return interfaces;
}

// A save killed between creating its temporary file and the rename leaves
// "<name>.tmp-<pid>-<n>" behind. Those of processes that no longer run are
// removed; a live process's (another instance closing) is left alone.
static void RemoveAbandonedTemporaries(const std::filesystem::path& Target) {
  const std::string prefix = Target.filename().string() + ".tmp-";
  std::error_code error;
  std::filesystem::path directory = Target.parent_path();
  if (directory.empty()) directory = ".";
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos) continue;
    if (rest.find_first_not_of("0123456789") != dash) continue;
    const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
    if (pid <= 0 || pid > 0x7fffffff) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::filesystem::remove(entry.path(), error);
  }
}

bool TConfigDocument::SaveToFile(const std::string& FileName) const {
  try {
    const std::filesystem::path target = FollowLinks(FileName);
    std::filesystem::path directory = target.parent_path();
    if (directory.empty()) directory = ".";
    TStringWriter text;
    Document.save(text, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);

    RemoveAbandonedTemporaries(target);
    const std::filesystem::path temporary = TemporaryName(target);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    // No temporary file beside it (a folder the user may not write): the
    // file itself may still be writable.
    if (fd < 0) return WriteInPlace(target, text.Text);
    // The new file keeps the old one's permissions.
    struct stat old {};
    bool ok = ::stat(target.c_str(), &old) != 0 || ::fchmod(fd, old.st_mode & 07777) == 0;
    if (ok) ok = WriteAll(fd, text.Text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
      ::unlink(temporary.c_str());
      return false;
    }
    // The rename is done; a folder that cannot be synced (some file systems
    // refuse it) still holds the new file.
    SyncDirectory(directory);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace pallador
