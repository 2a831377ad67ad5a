// A StatusNotifierWatcher, as a desktop's tray runs it, for tests on a private session
// bus: it owns org.kde.StatusNotifierWatcher, says a tray host is there (so Qt exports its
// tray icon over D-Bus), and prints one line on standard output for each step:
//
//   watching <its unique name>                       once it owns the name
//   item <sender's unique name> <service> <path>     for each registered item
//   host <service>                                   for each registered host
//
// It runs until it is killed or its bus goes away.
#include <gio/gio.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* kName = "org.kde.StatusNotifierWatcher";
constexpr const char* kPath = "/StatusNotifierWatcher";

constexpr const char* kIntrospection = R"xml(
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem">
      <arg name="service" type="s" direction="in"/>
    </method>
    <method name="RegisterStatusNotifierHost">
      <arg name="service" type="s" direction="in"/>
    </method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered">
      <arg type="s"/>
    </signal>
    <signal name="StatusNotifierItemUnregistered">
      <arg type="s"/>
    </signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
)xml";

struct Watcher {
  std::vector<std::string> items;  // "<service><path>", as the KDE watcher lists them
};

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void handleMethod(GDBusConnection* connection, const gchar* sender, const gchar* /*path*/,
                  const gchar* /*interface*/, const gchar* method, GVariant* parameters,
                  GDBusMethodInvocation* invocation, gpointer data) {
  auto* watcher = static_cast<Watcher*>(data);
  const gchar* argument = nullptr;
  g_variant_get(parameters, "(&s)", &argument);
  if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
    // The argument is a bus name (the item lives at the standard path) or, as some
    // toolkits send it, an object path on the caller's own connection.
    const bool isPath = argument[0] == '/';
    const std::string service = isPath ? sender : argument;
    const std::string path = isPath ? argument : "/StatusNotifierItem";
    watcher->items.push_back(service + path);
    say("item " + std::string(sender) + " " + service + " " + path);
    g_dbus_connection_emit_signal(connection, nullptr, kPath, kName, "StatusNotifierItemRegistered",
                                  g_variant_new("(s)", (service + path).c_str()), nullptr);
  } else {
    say("host " + std::string(argument));
    g_dbus_connection_emit_signal(connection, nullptr, kPath, kName, "StatusNotifierHostRegistered",
                                  nullptr, nullptr);
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* handleGetProperty(GDBusConnection* /*connection*/, const gchar* /*sender*/,
                            const gchar* /*path*/, const gchar* /*interface*/,
                            const gchar* property, GError** /*error*/, gpointer data) {
  auto* watcher = static_cast<Watcher*>(data);
  if (g_strcmp0(property, "RegisteredStatusNotifierItems") == 0) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const std::string& item : watcher->items)
      g_variant_builder_add(&builder, "s", item.c_str());
    return g_variant_builder_end(&builder);
  }
  // A tray that shows the items is always there: that is what this watcher stands for.
  if (g_strcmp0(property, "IsStatusNotifierHostRegistered") == 0)
    return g_variant_new_boolean(TRUE);
  return g_variant_new_int32(0);  // ProtocolVersion, the only other property
}

}  // namespace

int main() {
  GError* error = nullptr;
  GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (connection == nullptr) {
    std::fprintf(stderr, "fake_watcher: no session bus: %s\n", error->message);
    return 1;
  }
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, &error);
  if (node == nullptr) {
    std::fprintf(stderr, "fake_watcher: %s\n", error->message);
    return 1;
  }

  Watcher watcher;
  const GDBusInterfaceVTable vtable = {handleMethod, handleGetProperty, nullptr, {}};
  // The object is there before the name: whoever sees the name can use it at once.
  if (g_dbus_connection_register_object(connection, kPath, node->interfaces[0], &vtable, &watcher,
                                        nullptr, &error) == 0) {
    std::fprintf(stderr, "fake_watcher: %s\n", error->message);
    return 1;
  }

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_bus_own_name_on_connection(
      connection, kName, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
      [](GDBusConnection* c, const gchar* /*name*/, gpointer) {
        say("watching " + std::string(g_dbus_connection_get_unique_name(c)));
      },
      [](GDBusConnection*, const gchar* name, gpointer loop) {
        std::fprintf(stderr, "fake_watcher: could not own %s\n", name);
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
      },
      loop, nullptr);
  g_main_loop_run(loop);
  return 1;  // only a lost name ends the loop
}
