#include "res/app_resources.h"

#include <vector>

#include "platform/trace.h"
#include "res/res_tables.h"

void RegisterAppResources(HINSTANCE instance) {
    // Never destroyed: the registration keeps pointing at it until the process is gone.
    static const std::vector<ResourceEntry>* table = [] {
        auto* all = new std::vector<ResourceEntry>;
        for (auto part :
             {StringResources(), DialogResources(), MenuResources(), MenuBarResources()})
            all->insert(all->end(), part.begin(), part.end());
        return all;
    }();
    if (!RegisterModuleResources(instance, table->data(), table->size()))
        Trace("[Vantlo] the program's resources cannot be registered: dialogs will not open");
}
