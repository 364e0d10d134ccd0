#pragma once

#include <chrono>
#include <gio/gio.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plumo::testing {

// The desktop portal's OpenURI interface on a bus of the test's own (its address,
// as dbus-daemon --print-address gives it), answering on a thread of its own and
// noting each URI it is asked to open.
class FakeOpenUriPortal {
 public:
  explicit FakeOpenUriPortal(std::string address) : address_(std::move(address)) {
    thread_ = std::thread([this] { serve(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);  // only a hang fails it
    while (!ready() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  FakeOpenUriPortal(const FakeOpenUriPortal&) = delete;
  FakeOpenUriPortal& operator=(const FakeOpenUriPortal&) = delete;
  ~FakeOpenUriPortal() {
    g_main_context_invoke(context_, [](gpointer loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); return 0; },
                          loop_);
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

  bool ready() {
    std::lock_guard lock(mutex_);
    return ready_;
  }
  std::vector<std::string> openedUris() {
    std::lock_guard lock(mutex_);
    return uris_;
  }

 private:
  static constexpr const char* introspection =
      "<node><interface name='org.freedesktop.portal.OpenURI'><method name='OpenURI'>"
      "<arg type='s' name='parent_window' direction='in'/><arg type='s' name='uri' direction='in'/>"
      "<arg type='a{sv}' name='options' direction='in'/><arg type='o' name='handle' direction='out'/>"
      "</method></interface></node>";

  void serve() {
    g_main_context_push_thread_default(context_);
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_clear_error(&error);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
    static const GDBusInterfaceVTable calls = {&FakeOpenUriPortal::call, nullptr, nullptr, {}};
    if (connection != nullptr) {
      const guint object = g_dbus_connection_register_object(connection, "/org/freedesktop/portal/desktop",
                                                             node->interfaces[0], &calls, this, nullptr, nullptr);
      const guint name = g_bus_own_name_on_connection(
          connection, "org.freedesktop.portal.Desktop", G_BUS_NAME_OWNER_FLAGS_NONE,
          [](GDBusConnection*, const gchar*, gpointer self) {
            auto* portal = static_cast<FakeOpenUriPortal*>(self);
            std::lock_guard lock(portal->mutex_);
            portal->ready_ = true;
          },
          nullptr, this, nullptr);
      g_main_loop_run(loop_);
      g_bus_unown_name(name);
      g_dbus_connection_unregister_object(connection, object);
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      while (g_main_context_iteration(context_, FALSE)) {
      }
      g_object_unref(connection);
    }
    g_dbus_node_info_unref(node);
    g_main_context_pop_thread_default(context_);
  }

  static void call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                   GDBusMethodInvocation* invocation, gpointer self) {
    const gchar* uri = nullptr;
    g_variant_get_child(parameters, 1, "&s", &uri);
    auto* portal = static_cast<FakeOpenUriPortal*>(self);
    {
      std::lock_guard lock(portal->mutex_);
      portal->uris_.emplace_back(uri);
    }
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(o)", "/org/freedesktop/portal/desktop/request/1_1/t"));
  }

  std::string address_;
  GMainContext* context_ = g_main_context_new();
  GMainLoop* loop_ = g_main_loop_new(context_, FALSE);
  std::mutex mutex_;
  bool ready_ = false;
  std::vector<std::string> uris_;
  std::thread thread_;
};

}  // namespace plumo::testing
