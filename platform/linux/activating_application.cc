#include "platform/linux/activating_application.hh"

namespace quillary {

namespace {

struct ActivatingApplication {
    GApplication parent;
    ActivationHandler onEmit;
    gpointer data;
};

struct ActivatingApplicationClass {
    GApplicationClass parent;
};

G_DEFINE_TYPE(ActivatingApplication, activating_application, G_TYPE_APPLICATION)

// In the new process, on its way to the running one.
void addPlatformData(GApplication* application, GVariantBuilder* builder)
{
    G_APPLICATION_CLASS(activating_application_parent_class)->add_platform_data(application, builder);
    addLaunchActivation(builder);
}

// In the running process, around the emission of what the other asked for.
void beforeEmit(GApplication* application, GVariant* platformData)
{
    G_APPLICATION_CLASS(activating_application_parent_class)->before_emit(application, platformData);
    auto* self = reinterpret_cast<ActivatingApplication*>(application);
    self->onEmit(activationOf(platformData), self->data);
}

void afterEmit(GApplication* application, GVariant* platformData)
{
    auto* self = reinterpret_cast<ActivatingApplication*>(application);
    self->onEmit({}, self->data);
    G_APPLICATION_CLASS(activating_application_parent_class)->after_emit(application, platformData);
}

void activating_application_class_init(ActivatingApplicationClass* klass)
{
    GApplicationClass* application = G_APPLICATION_CLASS(klass);
    application->add_platform_data = addPlatformData;
    application->before_emit = beforeEmit;
    application->after_emit = afterEmit;
}

void activating_application_init(ActivatingApplication*) {}

} // namespace

GApplication* activatingApplicationNew(const char* id, ActivationHandler onEmit, gpointer data)
{
    auto* application = static_cast<ActivatingApplication*>(g_object_new(
        activating_application_get_type(), "application-id", id, "flags", G_APPLICATION_DEFAULT_FLAGS, nullptr));
    application->onEmit = onEmit;
    application->data = data;
    return G_APPLICATION(application);
}

} // namespace quillary
