#include "platform/linux/tray/dbus_menu.hh"

#include <algorithm>
#include <string>
#include <unordered_set>
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

// Each id of the array once, in the order first given: a host never repeats
// one, and a caller that does gets no more for it than for the first.
std::vector<int> distinctIds(GVariant* array)
{
    gsize count = 0;
    const auto* ids = static_cast<const gint32*>(g_variant_get_fixed_array(array, &count, sizeof(gint32)));
    std::vector<int> distinct;
    std::unordered_set<int> seen;
    for (gsize i = 0; i < count; ++i) {
        if (seen.insert(ids[i]).second)
            distinct.push_back(ids[i]);
    }
    return distinct;
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

// The menu's own properties: a menu of plain text, left to right.
GVariant* menuProperty(std::string_view name)
{
    if (name == "Version")
        return g_variant_new_uint32(3);
    if (name == "TextDirection")
        return g_variant_new_string("ltr");
    if (name == "Status")
        return g_variant_new_string("normal");
    if (name == "IconThemePath")
        return g_variant_new_strv(nullptr, 0);
    return nullptr;
}

} // namespace

DBusMenu::DBusMenu(GDBusConnection* connection, ActionHandler onAction)
    : onAction_(std::move(onAction))
    , object_(connection, kObjectPath, kIntrospection,
              {[this](std::string_view method, GVariant* parameters, GDBusMethodInvocation* invocation) {
                   call(method, parameters, invocation);
               },
               menuProperty},
              "tray menu")
{
}

void DBusMenu::setMenu(const Menu& menu)
{
    layout_.replace(menu);
    if (object_.exported())
        object_.emit("LayoutUpdated", g_variant_new("(ui)", layout_.revision(), 0));
}

// What an event on an item that exists does. Only "clicked" does anything;
// "opened", "closed", "hovered" and vendor events are accepted and ignored.
MenuAction DBusMenu::actionOf(int id, std::string_view eventId) const
{
    return eventId == "clicked" ? layout_.action(id) : MenuAction::none;
}

void DBusMenu::handleGetLayout(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    gint32 parent, depth;
    g_autoptr(GVariant) names = nullptr;
    g_variant_get(parameters, "(ii@as)", &parent, &depth, &names);
    if (!layout_.contains(parent))
        return returnNoSuchItem(invocation, parent);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(u@(ia{sv}av))", layout_.revision(), layout_.layout(parent, depth, layout_.known(names))));
}

void DBusMenu::handleGetGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    g_autoptr(GVariant) ids = nullptr;
    g_autoptr(GVariant) names = nullptr;
    g_variant_get(parameters, "(@ai@as)", &ids, &names);
    std::vector<int> wanted = distinctIds(ids);
    if (wanted.empty()) {
        for (int id = 0; id < layout_.count(); ++id)
            wanted.push_back(id);
    }
    DBusMenuLayout::Names wantedNames = layout_.known(names);
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
    g_autoptr(GVariant) value = layout_.property(id, name);
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
    guint32 timestamp;
    g_variant_get(parameters, "(i&svu)", &id, &eventId, nullptr, &timestamp);
    if (!layout_.contains(id))
        return returnNoSuchItem(invocation, id);
    if (MenuAction action = actionOf(id, eventId); action != MenuAction::none)
        onAction_(action, timestamp);
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void DBusMenu::activate()
{
    // Items are numbered depth first from the root, 0: its first entry is 1.
    constexpr int kFirstEntry = 1;
    if (!layout_.contains(kFirstEntry))
        return;
    if (MenuAction action = actionOf(kFirstEntry, "clicked"); action != MenuAction::none)
        onAction_(action, 0);
}

// The events of a group are one gesture: each action they ask for is done
// once, in the order first asked, however many of them click.
void DBusMenu::handleEventGroup(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    g_autoptr(GVariant) events = g_variant_get_child_value(parameters, 0);
    std::vector<int> errors;
    std::unordered_set<int> failed;
    std::vector<std::pair<MenuAction, guint32>> actions;
    bool anyItem = false;
    GVariantIter iter;
    g_variant_iter_init(&iter, events);
    gint32 id;
    const char* eventId;
    guint32 timestamp;
    while (g_variant_iter_next(&iter, "(i&svu)", &id, &eventId, nullptr, &timestamp)) {
        if (!layout_.contains(id)) {
            if (failed.insert(id).second)
                errors.push_back(id);
            continue;
        }
        anyItem = true;
        MenuAction action = actionOf(id, eventId);
        if (action != MenuAction::none && std::find_if(actions.begin(), actions.end(), [action](const auto& asked) {
                                              return asked.first == action;
                                          }) == actions.end())
            actions.emplace_back(action, timestamp);
    }
    // The protocol's rule: an error only when not one of the items exists.
    if (!errors.empty() && !anyItem)
        return returnNoSuchItem(invocation, errors.front());
    for (auto [action, time] : actions)
        onAction_(action, time);
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
    for (int id : distinctIds(ids)) {
        if (!layout_.contains(id))
            errors.push_back(id);
    }
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(@ai@ai)", integerArray({}), integerArray(errors)));
}

void DBusMenu::call(std::string_view method, GVariant* parameters, GDBusMethodInvocation* invocation)
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
            return (this->*handle)(parameters, invocation);
    }
    // Not reached: GDBus itself refuses methods that the introspection lacks.
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "No such method \"%.*s\"", static_cast<int>(method.size()), method.data());
}

} // namespace quillary
