#include "platform/freedesktop/desktop_entry.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <utility>

namespace zolven::platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kEntryName = "zolven.desktop";
constexpr std::array<int, 7> kIconSizes = {16, 24, 32, 48, 64, 128, 256};

std::string launcherOf(const DesktopEntryPlaces& places) {
  return places.bundle + "/zolven-launcher";
}
fs::path menuEntryPath(const DesktopEntryPlaces& places) {
  return fs::path(places.user.menuEntryFolder) / kEntryName;
}
fs::path autostartEntryPath(const DesktopEntryPlaces& places) {
  return fs::path(places.user.autostartFolder) / kEntryName;
}
// The data home, which holds the menu entries' folder: what the user is told of.
std::string dataHomeOf(const DesktopEntryPlaces& places) {
  return fs::path(places.user.menuEntryFolder).parent_path().string();
}

// The icon files of the bundle, each with where it goes below a data home.
std::vector<std::pair<fs::path, fs::path>> iconFiles(const DesktopEntryPlaces& places) {
  std::vector<std::pair<fs::path, fs::path>> files;
  const fs::path bundleIcons = fs::path(places.bundle) / "share/icons/hicolor";
  const fs::path userIcons = fs::path(places.user.iconFolder) / "hicolor";
  for (const int size : kIconSizes) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size) + "/apps";
    files.emplace_back(bundleIcons / folder / "zolven.png", userIcons / folder / "zolven.png");
  }
  files.emplace_back(bundleIcons / "scalable/apps/zolven.svg",
                     userIcons / "scalable/apps/zolven.svg");
  return files;
}

std::optional<std::string> readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Folders made for the entries and icons are private to the user (mode 0700).
Result<void> makeFolders(const fs::path& folder) {
  std::error_code code;
  if (fs::is_directory(folder, code)) return {};
  std::vector<fs::path> missing;
  for (fs::path at = folder; !at.empty() && !fs::exists(at, code); at = at.parent_path()) {
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!fs::create_directory(*it, code) && code)
      return Error{"cannot create " + it->string() + ": " + code.message()};
    fs::permissions(*it, fs::perms::owner_all, code);
  }
  return {};
}

// Replaces `path` with `text` in one step: a reader sees the old entry or the new one.
Result<void> writeAtomically(const fs::path& path, const std::string& text) {
  if (Result<void> made = makeFolders(path.parent_path()); !made) return made;
  // A name of this writer's own beside the entry: another launcher writing the same entry
  // at once writes another file.
  const fs::path temporary = path.string() + ".new-" + std::to_string(std::random_device()());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return Error{"cannot write " + temporary.string()};
    }
  }
  std::error_code code;
  fs::permissions(temporary,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::others_read,
                  code);
  fs::rename(temporary, path, code);
  if (code) {
    Error error{"cannot write " + path.string() + ": " + code.message()};
    fs::remove(temporary, code);
    return error;
  }
  return {};
}

// Whose entry stands at a path.
enum class Owner { None, ThisBundle, Missing, Other };
struct EntryOwner {
  Owner owner = Owner::None;
  std::string program;  // what the entry runs; empty when that cannot be read
};

EntryOwner ownerOf(const fs::path& entry, const std::string& launcher) {
  std::error_code code;
  if (!fs::exists(fs::symlink_status(entry, code))) return {};
  const std::optional<std::string> text = readText(entry);
  const std::optional<std::string> program = text ? entryProgram(*text) : std::nullopt;
  if (!program) return {.owner = Owner::Other};
  if (*program == launcher) return {.owner = Owner::ThisBundle, .program = *program};
  const fs::path target(*program);
  if (target.is_absolute()) {
    if (!fs::exists(target, code)) return {.owner = Owner::Missing, .program = *program};
    if (fs::equivalent(target, launcher, code))
      return {.owner = Owner::ThisBundle, .program = *program};
  }
  return {.owner = Owner::Other, .program = *program};
}

std::string otherEntryText(const fs::path& entry, const EntryOwner& found) {
  return found.program.empty()
             ? entry.string() + " is not an entry of a ZOLVEN bundle"
             : entry.string() + " starts another ZOLVEN bundle (" + found.program + ")";
}

// Writes `text` as the entry at `entry` unless an entry of another bundle stands there.
// Writes `text` as the entry at `entry` unless an entry of another bundle stands there;
// a note on the entry it replaced, if any.
Result<std::string> installEntry(const DesktopEntryPlaces& places, const fs::path& entry,
                                 const std::string& text, ExistingEntry existing) {
  const EntryOwner found = ownerOf(entry, launcherOf(places));
  if (found.owner == Owner::Other && existing == ExistingEntry::KeepForeign)
    return Error{otherEntryText(entry, found) + "; left as it is (--force replaces it)"};
  if (Result<void> written = writeAtomically(entry, text); !written) return written.error();
  std::string note;
  if (found.owner == Owner::Missing)
    note = "Replaced an entry for " + found.program + ", which no longer exists.\n";
  if (found.owner == Owner::Other) note = "Replaced: " + otherEntryText(entry, found) + ".\n";
  return note;
}

// Removes this bundle's entry at `entry`: whether there was one.
Result<bool> removeEntry(const DesktopEntryPlaces& places, const fs::path& entry) {
  const EntryOwner found = ownerOf(entry, launcherOf(places));
  if (found.owner == Owner::None) return false;
  if (found.owner != Owner::ThisBundle)
    return Error{otherEntryText(entry, found) + ", not this one (" + launcherOf(places) +
                 "); left as it is"};
  std::error_code code;
  if (!fs::remove(entry, code) && code)
    return Error{"cannot remove " + entry.string() + ": " + code.message()};
  return true;
}

}  // namespace

Result<std::string> installDesktopEntry(const DesktopEntryPlaces& places, ExistingEntry existing) {
  const fs::path templatePath = fs::path(places.bundle) / "share/zolven/zolven.desktop.in";
  const std::optional<std::string> entryTemplate = readText(templatePath);
  if (!entryTemplate)
    return Error{"no " + templatePath.string() +
                 ": this launcher is not in a bundle made by scripts/bundle"};
  std::string text = *entryTemplate;
  const std::string exec = execArgument(launcherOf(places));
  for (size_t at = text.find("@EXEC@"); at != std::string::npos;
       at = text.find("@EXEC@", at + exec.size()))
    text.replace(at, 6, exec);

  Result<std::string> installed = installEntry(places, menuEntryPath(places), text, existing);
  if (!installed) return installed;
  for (const auto& [from, to] : iconFiles(places)) {
    std::error_code code;
    if (!fs::exists(from, code)) continue;
    if (Result<void> made = makeFolders(to.parent_path()); !made) return made.error();
    if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, code))
      return Error{"cannot copy the icon " + to.string() + ": " + code.message()};
  }
  return *installed + "Installed the ZOLVEN desktop entry for " + places.bundle + " in " +
         dataHomeOf(places) + "\n";
}

Result<std::string> removeDesktopEntry(const DesktopEntryPlaces& places) {
  const Result<bool> removed = removeEntry(places, menuEntryPath(places));
  if (!removed) return removed.error();
  // The icons carry only this name; with no entry left they serve nobody.
  for (const auto& [from, to] : iconFiles(places)) {
    std::error_code code;
    fs::remove(to, code);
  }
  return *removed ? "Removed the ZOLVEN desktop entry from " + dataHomeOf(places) + "\n"
                  : "No ZOLVEN desktop entry in " + dataHomeOf(places) + "\n";
}

Result<std::string> installAutostartEntry(const DesktopEntryPlaces& places,
                                          ExistingEntry existing) {
  // Started at login, the app comes up in the tray without a browser tab; opening it
  // later shows the page, as a reopen always does.
  const std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Version=1.4\n"
      "Name=ZOLVEN\n"
      "Comment=Starts ZOLVEN in the background at login\n"
      "Exec=env ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1 " +
      execArgument(launcherOf(places)) +
      "\n"
      "Icon=zolven\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  Result<std::string> installed = installEntry(places, autostartEntryPath(places), text, existing);
  if (!installed) return installed;
  return *installed + "ZOLVEN (" + places.bundle +
         ") starts at login: " + autostartEntryPath(places).string() + "\n";
}

Result<std::string> removeAutostartEntry(const DesktopEntryPlaces& places) {
  const Result<bool> removed = removeEntry(places, autostartEntryPath(places));
  if (!removed) return removed.error();
  return std::string(*removed ? "ZOLVEN no longer starts at login.\n"
                              : "ZOLVEN was not set to start at login.\n");
}

}  // namespace zolven::platform
