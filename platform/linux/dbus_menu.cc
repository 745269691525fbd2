#include "platform/linux/dbus_menu.hh"

#include <string>
#include <utility>
#include <vector>

namespace quillary {

namespace {

constexpr const char* kIntrospection = R"xml(
<node>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg name="parentId" type="i"/><arg name="recursionDepth" type="i"/><arg name="propertyNames" type="as"/>
      <arg name="revision" type="u" direction="out"/><arg name="layout" type="(ia{sv}av)" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg name="ids" type="ai"/><arg name="propertyNames" type="as"/>
      <arg name="properties" type="a(ia{sv})" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg name="id" type="i"/><arg name="name" type="s"/><arg name="value" type="v" direction="out"/>
    </method>
    <method name="Event">
      <arg name="id" type="i"/><arg name="eventId" type="s"/><arg name="data" type="v"/><arg name="timestamp" type="u"/>
    </method>
    <method name="EventGroup">
      <arg name="events" type="a(isvu)"/><arg name="idErrors" type="ai" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg name="id" type="i"/><arg name="needUpdate" type="b" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg name="ids" type="ai"/>
      <arg name="updatesNeeded" type="ai" direction="out"/><arg name="idErrors" type="ai" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg name="updatedProps" type="a(ia{sv})"/><arg name="removedProps" type="a(ias)"/>
    </signal>
    <signal name="LayoutUpdated"><arg name="revision" type="u"/><arg name="parent" type="i"/></signal>
    <signal name="ItemActivationRequested"><arg name="id" type="i"/><arg name="timestamp" type="u"/></signal>
  </interface>
</node>)xml";

std::vector<std::string> strings(GVariant* array)
{
    std::vector<std::string> result;
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    const char* text;
    while (g_variant_iter_next(&iter, "&s", &text))
        result.emplace_back(text);
    return result;
}

std::vector<int> integers(GVariant* array)
{
    std::vector<int> result;
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    gint32 value;
    while (g_variant_iter_next(&iter, "i", &value))
        result.push_back(value);
    return result;
}

GVariant* integerArray(const std::vector<int>& values)
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, values.data(), values.size(), sizeof(gint32));
}

void returnNoSuchItem(GDBusMethodInvocation* invocation, int id)
{
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "There is no menu item %d", id);
}

} // namespace

const GDBusInterfaceVTable DBusMenu::kVTable{onMethodCall, onGetProperty, nullptr, {}};

DBusMenu::DBusMenu(GDBusConnection* connection, std::function<void(MenuAction)> onAction)
    : onAction_(std::move(onAction)), object_(connection, kObjectPath, kIntrospection, kVTable, this, "tray menu")
{
}

void DBusMenu::setMenu(const Menu& menu)
{
    layout_.replace(menu);
    if (object_.exported())
        object_.emit("LayoutUpdated", g_variant_new("(ui)", layout_.revision(), 0));
}

// False for an unknown item. Only "clicked" does anything; "opened", "closed",
// "hovered" and vendor events are accepted and ignored.
bool DBusMenu::acceptEvent(int id, std::string_view eventId)
{
    if (!layout_.contains(id))
        return false;
    if (eventId == "clicked" && layout_.action(id) != MenuAction::none)
        onAction_(layout_.action(id));
    return true;
}

void DBusMenu::handleGetLayout(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    gint32 parent, depth;
    g_autoptr(GVariant) names = nullptr;
    g_variant_get(parameters, "(ii@as)", &parent, &depth, &names);
    if (!layout_.contains(parent))
        return returnNoSuchItem(invocation, parent);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(u@(ia{sv}av))", layout_.revision(), layout_.layout(parent, depth, strings(names))));
}

void DBusMenu::handleGetGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    g_autoptr(GVariant) ids = nullptr;
    g_autoptr(GVariant) names = nullptr;
    g_variant_get(parameters, "(@ai@as)", &ids, &names);
    std::vector<int> wanted = integers(ids);
    if (wanted.empty()) {
        for (int id = 0; id < layout_.count(); ++id)
            wanted.push_back(id);
    }
    DBusMenuLayout::Names wantedNames = strings(names);
    // Ids that no longer exist are left out, not an error: a host may ask
    // with ids from a layout that has just been replaced.
    GVariantBuilder result;
    g_variant_builder_init(&result, G_VARIANT_TYPE("a(ia{sv})"));
    for (int id : wanted) {
        if (layout_.contains(id))
            g_variant_builder_add(&result, "(i@a{sv})", id, layout_.properties(id, wantedNames));
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &result));
}

void DBusMenu::handleGetProperty(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    gint32 id;
    const char* name;
    g_variant_get(parameters, "(i&s)", &id, &name);
    if (!layout_.contains(id))
        return returnNoSuchItem(invocation, id);
    GVariant* value = layout_.property(id, name);
    if (!value) {
        return g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                                     "Menu item %d has no property \"%s\"", id, name);
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
}

void DBusMenu::handleEvent(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    gint32 id;
    const char* eventId;
    g_variant_get(parameters, "(i&svu)", &id, &eventId, nullptr, nullptr);
    if (!acceptEvent(id, eventId))
        return returnNoSuchItem(invocation, id);
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void DBusMenu::handleEventGroup(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    g_autoptr(GVariant) events = g_variant_get_child_value(parameters, 0);
    std::vector<int> errors;
    GVariantIter iter;
    g_variant_iter_init(&iter, events);
    gint32 id;
    const char* eventId;
    while (g_variant_iter_next(&iter, "(i&svu)", &id, &eventId, nullptr, nullptr)) {
        if (!acceptEvent(id, eventId))
            errors.push_back(id);
    }
    std::size_t count = g_variant_n_children(events);
    // The protocol's rule: an error only when not one of the items exists.
    if (count > 0 && errors.size() == count)
        return returnNoSuchItem(invocation, errors.front());
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai)", integerArray(errors)));
}

void DBusMenu::handleAboutToShow(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    gint32 id;
    g_variant_get(parameters, "(i)", &id);
    if (!layout_.contains(id))
        return returnNoSuchItem(invocation, id);
    // Our menu is built once and never changes when it opens.
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", false));
}

void DBusMenu::handleAboutToShowGroup(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    g_autoptr(GVariant) ids = g_variant_get_child_value(parameters, 0);
    std::vector<int> errors;
    for (int id : integers(ids)) {
        if (!layout_.contains(id))
            errors.push_back(id);
    }
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(@ai@ai)", integerArray({}), integerArray(errors)));
}

void DBusMenu::onMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                            GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self)
{
    static constexpr std::pair<std::string_view, Method> kMethods[] = {
        {"GetLayout", &DBusMenu::handleGetLayout},
        {"GetGroupProperties", &DBusMenu::handleGetGroupProperties},
        {"GetProperty", &DBusMenu::handleGetProperty},
        {"Event", &DBusMenu::handleEvent},
        {"EventGroup", &DBusMenu::handleEventGroup},
        {"AboutToShow", &DBusMenu::handleAboutToShow},
        {"AboutToShowGroup", &DBusMenu::handleAboutToShowGroup},
    };
    for (const auto& [name, handle] : kMethods) {
        if (name == method)
            return (static_cast<DBusMenu*>(self)->*handle)(parameters, invocation);
    }
    // Not reached: GDBus itself refuses methods that the introspection lacks.
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "No such method \"%s\"", method);
}

GVariant* DBusMenu::onGetProperty(GDBusConnection*, const char*, const char*, const char*, const char* nameText,
                                  GError** error, gpointer)
{
    std::string_view name = nameText;
    if (name == "Version")
        return g_variant_new_uint32(3);
    if (name == "TextDirection")
        return g_variant_new_string("ltr");
    if (name == "Status")
        return g_variant_new_string("normal");
    if (name == "IconThemePath")
        return g_variant_new_strv(nullptr, 0);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No such property \"%s\"", nameText);
    return nullptr;
}

} // namespace quillary
