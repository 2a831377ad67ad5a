#pragma once

// A private D-Bus session bus for tests, and the test's own connection to it.

#include <gio/gio.h>

#include <memory>
#include <string>

#include "process.h"
#include "temp_dir.h"

namespace testsupport {

struct VariantUnref {
  void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// The outcome of a method call: the reply's arguments, or the error's text.
struct Reply {
  Variant value;
  std::string error;
  explicit operator bool() const { return value != nullptr; }
};

// A dbus-daemon of its own, listening in `dir`. Its configuration names no service
// folders, so nothing on it is started on demand (an accessibility bus, a settings daemon,
// ...): every peer on it is one the test started. address() is empty when it did not come
// up. The daemon is killed with the object.
class SessionBus {
 public:
  explicit SessionBus(const TempDir& dir) {
    writeFile(dir.str("bus.conf"), config(dir.str("bus")));
    // --print-address: the daemon prints its address once it listens.
    daemon_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork", "--nopidfile",
                                 "--config-file=" + dir.str("bus.conf"), "--print-address=1"},
        std::vector<std::string>{"PATH=/usr/bin:/bin"}, dir.str("dbus.out"), dir.str("dbus.err"));
    if (!waitFor([&] { return readFile(dir.str("dbus.out")).find('\n') != std::string::npos; }))
      return;
    const std::string printed = readFile(dir.str("dbus.out"));
    const std::string address = printed.substr(0, printed.find('\n'));
    GError* error = nullptr;
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection_ == nullptr) {
      connectError_ = error->message;
      g_error_free(error);
      return;
    }
    address_ = address;
  }
  ~SessionBus() {
    if (connection_ == nullptr) return;
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  const std::string& address() const { return address_; }
  const std::string& connectError() const { return connectError_; }

  // Calls a method and waits for its reply; `parameters` is a tuple (a floating reference
  // is taken over) or null, `replyType` the reply's signature, such as "(u)".
  Reply call(const std::string& destination, const std::string& path, const std::string& interface,
             const std::string& method, GVariant* parameters, const char* replyType) const {
    GError* error = nullptr;
    GVariant* value = g_dbus_connection_call_sync(
        connection_, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(),
        parameters, replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NONE,
        kCallTimeoutMs, nullptr, &error);
    if (value == nullptr) {
      Reply reply{.value = nullptr, .error = error->message};
      g_error_free(error);
      return reply;
    }
    return Reply{.value = Variant(value), .error = {}};
  }

  // Reads one property; the reply's value is the property's own value, unwrapped.
  Reply property(const std::string& destination, const std::string& path,
                 const std::string& interface, const std::string& name) const {
    Reply reply = call(destination, path, "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", interface.c_str(), name.c_str()), "(v)");
    if (reply) {
      GVariant* inner = nullptr;
      g_variant_get(reply.value.get(), "(v)", &inner);
      reply.value.reset(inner);
    }
    return reply;
  }

  // Asks the bus itself, for example "GetNameOwner" or "GetConnectionUnixProcessID".
  Reply askBus(const std::string& method, const std::string& name, const char* replyType) const {
    return call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
                g_variant_new("(s)", name.c_str()), replyType);
  }

 private:
  static std::string config(const std::string& socket) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
           socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
  }

  // Bounds a hang of the peer; a healthy reply comes in milliseconds.
  static constexpr int kCallTimeoutMs = 20000;

  std::unique_ptr<Process> daemon_;
  std::string address_;
  std::string connectError_;
  GDBusConnection* connection_ = nullptr;
};

}  // namespace testsupport
