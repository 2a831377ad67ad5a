// The tray as a desktop sees it. On a real X display (Xvfb) with a private session bus and
// a StatusNotifierWatcher standing in for the desktop's tray, the launcher's icon is a
// StatusNotifierItem with its menu exported as com.canonical.dbusmenu. The test plays
// the tray's part: it reads the menu, clicks the icon (a reopen) and chooses the menu's one
// item (quit), all over D-Bus as a panel does.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "launcher_bundle.h"
#include "session_bus.h"
#include "x_server.h"

namespace {

using namespace testsupport;

// A runtime that prints its URL once and then serves until it is stopped.
const char* kServingNode = R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:8123/\n'
exec sleep 1000
)sh";

// The words of the first complete line of `output` that starts with `tag`.
std::vector<std::string> taggedLine(const std::string& output, const std::string& tag) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (lines.eof()) break;  // a line still being written
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (!fields.empty() && fields[0] == tag) return fields;
  }
  return {};
}

// One entry of a com.canonical.dbusmenu layout: its id and the properties the tray shows.
struct MenuEntry {
  int id = 0;
  std::string label;
  std::string type;     // "" for a plain item
  bool visible = true;  // an absent property means the default
  bool enabled = true;
  std::string shortcut;  // the "shortcut" property in GVariant text form, "" when absent
};

// The top level of a GetLayout reply, "(u(ia{sv}av))".
std::vector<MenuEntry> topLevel(GVariant* reply) {
  std::vector<MenuEntry> entries;
  Variant root(g_variant_get_child_value(reply, 1));
  Variant children(g_variant_get_child_value(root.get(), 2));
  for (gsize i = 0; i < g_variant_n_children(children.get()); ++i) {
    Variant boxed(g_variant_get_child_value(children.get(), i));
    Variant child(g_variant_get_variant(boxed.get()));
    MenuEntry entry;
    Variant id(g_variant_get_child_value(child.get(), 0));
    entry.id = g_variant_get_int32(id.get());
    Variant properties(g_variant_get_child_value(child.get(), 1));
    if (Variant v{g_variant_lookup_value(properties.get(), "label", G_VARIANT_TYPE_STRING)})
      entry.label = g_variant_get_string(v.get(), nullptr);
    if (Variant v{g_variant_lookup_value(properties.get(), "type", G_VARIANT_TYPE_STRING)})
      entry.type = g_variant_get_string(v.get(), nullptr);
    if (Variant v{g_variant_lookup_value(properties.get(), "visible", G_VARIANT_TYPE_BOOLEAN)})
      entry.visible = g_variant_get_boolean(v.get());
    if (Variant v{g_variant_lookup_value(properties.get(), "enabled", G_VARIANT_TYPE_BOOLEAN)})
      entry.enabled = g_variant_get_boolean(v.get());
    if (Variant v{g_variant_lookup_value(properties.get(), "shortcut", nullptr)}) {
      gchar* text = g_variant_print(v.get(), FALSE);
      entry.shortcut = text;
      g_free(text);
    }
    entries.push_back(entry);
  }
  return entries;
}

TEST(Tray, IsAStatusNotifierItemWhoseClickReopensAndWhoseMenuQuits) {
  for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/xdpyinfo", "/usr/bin/dbus-daemon"})
    if (!std::filesystem::exists(tool)) GTEST_SKIP() << tool << " is installed by scripts/test";

  // Declared in the order they start, so they are stopped in reverse: the launcher first,
  // the bus last.
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", kServingNode);
  SessionBus bus(bundle.dir());
  ASSERT_FALSE(bus.address().empty())
      << readFile(bundle.dir().str("dbus.err")) << bus.connectError();
  XServer x(bundle.dir());
  ASSERT_FALSE(x.display().empty()) << readFile(bundle.dir().str("xvfb.err"));

  // Qt decides once, when the icon is made, whether to export it over D-Bus: only if a
  // watcher is on the bus then and reports a registered host.
  const std::string watcherOut = bundle.dir().str("watcher.out");
  std::vector<std::string> watcherEnv = {"PATH=/usr/bin:/bin",
                                         "DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
  for (const auto& [name, value] : sanitizerSettings()) watcherEnv.push_back(name + "=" + value);
  Process watcher({ZOLVEN_FAKE_WATCHER_PATH}, watcherEnv, watcherOut,
                  bundle.dir().str("watcher.err"));
  ASSERT_TRUE(waitFor([&] { return !taggedLine(readFile(watcherOut), "watching").empty(); }))
      << readFile(bundle.dir().str("watcher.err"));

  auto launcher =
      bundle.start({{"DISPLAY", x.display()}, {"DBUS_SESSION_BUS_ADDRESS", bus.address()}});

  // The icon registers with the watcher, from the launcher's own process.
  std::vector<std::string> item;
  ASSERT_TRUE(waitFor([&] {
    item = taggedLine(readFile(watcherOut), "item");
    return !item.empty();
  })) << bundle.launcherStderr();
  ASSERT_EQ(item.size(), 4u) << readFile(watcherOut);
  const std::string sender = item[1], service = item[2], path = item[3];
  Reply pid = bus.askBus("GetConnectionUnixProcessID", sender, "(u)");
  ASSERT_TRUE(pid) << pid.error;
  guint32 senderPid = 0;
  g_variant_get(pid.value.get(), "(u)", &senderPid);
  EXPECT_EQ(static_cast<pid_t>(senderPid), launcher->pid());
  Reply owner = bus.askBus("GetNameOwner", service, "(s)");
  ASSERT_TRUE(owner) << owner.error;
  const gchar* ownerName = nullptr;
  g_variant_get(owner.value.get(), "(&s)", &ownerName);
  EXPECT_EQ(ownerName, sender);

  // Its menu holds the one item, as the tray shows it.
  Reply menuPath = bus.property(service, path, "org.kde.StatusNotifierItem", "Menu");
  ASSERT_TRUE(menuPath) << menuPath.error;
  const std::string menu = g_variant_get_string(menuPath.value.get(), nullptr);
  Reply layout =
      bus.call(service, menu, "com.canonical.dbusmenu", "GetLayout",
               g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)), "(u(ia{sv}av))");
  ASSERT_TRUE(layout) << layout.error;
  const std::vector<MenuEntry> entries = topLevel(layout.value.get());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].label, "Quit ZOLVEN");
  EXPECT_EQ(entries[0].type, "");
  EXPECT_TRUE(entries[0].visible);
  EXPECT_TRUE(entries[0].enabled);
  EXPECT_EQ(entries[0].shortcut, "[['Control', 'Q']]");  // Ctrl+Q

  // Clicking the icon once the runtime is ready opens its page again.
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }))
      << bundle.launcherStderr();
  Reply activated = bus.call(service, path, "org.kde.StatusNotifierItem", "Activate",
                             g_variant_new("(ii)", 10, 10), "()");
  ASSERT_TRUE(activated) << activated.error;
  // No browser is registered in the test's desktop settings, so the open itself fails.
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.failed"); }))
      << testing::PrintToString(bundle.events());
  const auto records = bundle.records();
  const auto reopened = std::find_if(records.begin(), records.end(), [](const auto& r) {
    return r["event"] == "launcher.reopened";
  });
  ASSERT_NE(reopened, records.end());
  ASSERT_NE(reopened + 1, records.end());
  EXPECT_EQ((reopened + 1)->at("event"), "browser.open.requested");
  EXPECT_EQ((reopened + 1)->at("detail"), "application-reopened");
  EXPECT_EQ((reopened + 1)->at("url"), "http://127.0.0.1:8123/");
  EXPECT_TRUE(launcher->running());

  // Choosing "Quit ZOLVEN" stops the runtime, then the launcher ends quietly.
  const pid_t runtime = bundle.childPid();
  Reply clicked =
      bus.call(service, menu, "com.canonical.dbusmenu", "Event",
               g_variant_new("(isvu)", entries[0].id, "clicked", g_variant_new_int32(0), 0u), "()");
  ASSERT_TRUE(clicked) << clicked.error;
  EXPECT_EQ(launcher->waitExit(), 0) << bundle.launcherStderr();
  EXPECT_FALSE(processRunning(runtime));
  const auto events = bundle.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "runtime.exited") << testing::PrintToString(events);
  EXPECT_EQ(std::count(events.begin(), events.end(), "launcher.failed"), 0);
}

}  // namespace
