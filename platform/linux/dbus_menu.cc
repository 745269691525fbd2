#include "platform/linux/dbus_menu.hh"

#include <algorithm>
#include <string_view>
#include <utility>

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

// In this protocol a '_' marks the next character as the access key, and
// "__" stands for one '_'. Our titles have no access keys.
std::string escapeMnemonics(std::string_view title)
{
    std::string label;
    for (char c : title) {
        if (c == '_')
            label += '_';
        label += c;
    }
    return label;
}

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
    : context_(g_main_context_ref_thread_default())
    , onAction_(std::make_shared<std::function<void(MenuAction)>>(std::move(onAction)))
    , object_(connection, kObjectPath, kIntrospection, kVTable, this, "tray menu")
{
    // Nobody's news: no host can have read a layout yet.
    replaceItems({});
}

DBusMenu::~DBusMenu()
{
    // Clicks already queued find no handler and do nothing.
    onAction_.reset();
    g_main_context_unref(context_);
}

void DBusMenu::setMenu(const Menu& menu)
{
    replaceItems(menu);
    if (object_.exported())
        object_.emit("LayoutUpdated", g_variant_new("(ui)", revision_, 0));
}

void DBusMenu::replaceItems(const Menu& menu)
{
    items_.clear();
    items_.emplace_back();
    items_[0].properties.emplace("children-display", g_variant_ref_sink(g_variant_new_string("submenu")));
    addItems(menu, 0);
    // A host that has read an earlier layout drops it and asks again.
    ++revision_;
}

// Numbers the items depth first, in menu order, after those already there.
void DBusMenu::addItems(const Menu& menu, int parent)
{
    for (const MenuItem& entry : menu) {
        int id = static_cast<int>(items_.size());
        items_[parent].children.push_back(id);
        Item item;
        auto set = [&item](const char* name, GVariant* value) {
            item.properties.emplace(name, g_variant_ref_sink(value));
        };
        if (entry.separator) {
            set("type", g_variant_new_string("separator"));
        } else {
            // The key equivalent is left out: the tray's menus have none.
            // A D-Bus string must be UTF-8: GLib would refuse the whole value.
            std::string label = escapeMnemonics(entry.title);
            auto size = static_cast<gssize>(label.size());
            set("label", g_variant_new_take_string(g_utf8_make_valid(label.data(), size)));
            set("enabled", g_variant_new_boolean(true));
            set("visible", g_variant_new_boolean(true));
            if (!entry.submenu.empty())
                set("children-display", g_variant_new_string("submenu"));
            item.action = entry.action;
        }
        items_.push_back(std::move(item));
        addItems(entry.submenu, id);
    }
}

GVariant* DBusMenu::properties(int id, const Names& names) const
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    for (const auto& [name, value] : items_[id].properties) {
        if (names.empty() || std::find(names.begin(), names.end(), name) != names.end())
            g_variant_builder_add(&builder, "{sv}", name.c_str(), value.get());
    }
    return g_variant_builder_end(&builder);
}

// `depth` −1 (or any negative) is the whole subtree, 0 the item alone.
GVariant* DBusMenu::layout(int id, int depth, const Names& names) const
{
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    if (depth != 0) {
        for (int child : items_[id].children)
            g_variant_builder_add(&children, "v", layout(child, depth - 1, names));
    }
    return g_variant_new("(i@a{sv}av)", id, properties(id, names), &children);
}

// False for an unknown item. Only "clicked" does anything; "opened", "closed",
// "hovered" and vendor events are accepted and ignored.
bool DBusMenu::handleEvent(int id, std::string_view eventId)
{
    if (!contains(id))
        return false;
    if (eventId == "clicked" && items_[id].action != MenuAction::none)
        post(items_[id].action);
    return true;
}

// The action runs after the host's call has been answered: "quit" keeps the
// main thread for up to the shutdown grace, and a host waiting for the reply
// meanwhile would time out and might take the item for dead.
void DBusMenu::post(MenuAction action)
{
    struct Click {
        std::weak_ptr<std::function<void(MenuAction)>> onAction;
        MenuAction action;
    };
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* click = static_cast<Click*>(data);
            // Held for the call: the action may well destroy the menu.
            if (auto onAction = click->onAction.lock())
                (*onAction)(click->action);
            return G_SOURCE_REMOVE;
        },
        new Click{onAction_, action}, [](gpointer data) { delete static_cast<Click*>(data); });
    g_source_attach(source, context_);
    g_source_unref(source);
}

void DBusMenu::onMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* methodName,
                            GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data)
{
    auto& self = *static_cast<DBusMenu*>(data);
    std::string_view method = methodName;

    if (method == "GetLayout") {
        gint32 parent, depth;
        GVariant* names;
        g_variant_get(parameters, "(ii@as)", &parent, &depth, &names);
        Names wanted = strings(names);
        g_variant_unref(names);
        if (!self.contains(parent))
            return returnNoSuchItem(invocation, parent);
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(u@(ia{sv}av))", self.revision_, self.layout(parent, depth, wanted)));

    } else if (method == "GetGroupProperties") {
        GVariant *ids, *names;
        g_variant_get(parameters, "(@ai@as)", &ids, &names);
        std::vector<int> wanted = integers(ids);
        Names wantedNames = strings(names);
        g_variant_unref(ids);
        g_variant_unref(names);
        if (wanted.empty()) {
            for (std::size_t id = 0; id < self.items_.size(); ++id)
                wanted.push_back(static_cast<int>(id));
        }
        // Ids that no longer exist are left out, not an error: a host may ask
        // with ids from a layout that has just been replaced.
        GVariantBuilder result;
        g_variant_builder_init(&result, G_VARIANT_TYPE("a(ia{sv})"));
        for (int id : wanted) {
            if (self.contains(id))
                g_variant_builder_add(&result, "(i@a{sv})", id, self.properties(id, wantedNames));
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &result));

    } else if (method == "GetProperty") {
        gint32 id;
        const char* name;
        g_variant_get(parameters, "(i&s)", &id, &name);
        if (!self.contains(id))
            return returnNoSuchItem(invocation, id);
        auto found = self.items_[id].properties.find(name);
        if (found == self.items_[id].properties.end()) {
            return g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                                         "Menu item %d has no property \"%s\"", id, name);
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", found->second.get()));

    } else if (method == "Event") {
        gint32 id;
        const char* eventId;
        g_variant_get(parameters, "(i&svu)", &id, &eventId, nullptr, nullptr);
        if (!self.handleEvent(id, eventId))
            return returnNoSuchItem(invocation, id);
        g_dbus_method_invocation_return_value(invocation, nullptr);

    } else if (method == "EventGroup") {
        GVariant* events = g_variant_get_child_value(parameters, 0);
        std::vector<int> errors;
        GVariantIter iter;
        g_variant_iter_init(&iter, events);
        gint32 id;
        const char* eventId;
        while (g_variant_iter_next(&iter, "(i&svu)", &id, &eventId, nullptr, nullptr)) {
            if (!self.handleEvent(id, eventId))
                errors.push_back(id);
        }
        std::size_t count = g_variant_n_children(events);
        g_variant_unref(events);
        // The protocol's rule: an error only when not one of the items exists.
        if (count > 0 && errors.size() == count)
            return returnNoSuchItem(invocation, errors.front());
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai)", integerArray(errors)));

    } else if (method == "AboutToShow") {
        gint32 id;
        g_variant_get(parameters, "(i)", &id);
        if (!self.contains(id))
            return returnNoSuchItem(invocation, id);
        // Our menu is built once and never changes when it opens.
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", false));

    } else if (method == "AboutToShowGroup") {
        GVariant* ids = g_variant_get_child_value(parameters, 0);
        std::vector<int> errors;
        for (int id : integers(ids)) {
            if (!self.contains(id))
                errors.push_back(id);
        }
        g_variant_unref(ids);
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(@ai@ai)", integerArray({}), integerArray(errors)));

    } else {
        // Not reached: GDBus itself refuses methods that the introspection lacks.
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                              "No such method \"%s\"", methodName);
    }
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
