#include "Platform/Linux/Workspace/DesktopEntries.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace vorsel::linux_platform {
namespace {

constexpr std::string_view kSuffix = ".desktop";

std::string withoutSuffix(std::string id) {
    if (id.ends_with(kSuffix)) id.resize(id.size() - kSuffix.size());
    return id;
}

bool shown(GDesktopAppInfo* info) {
    if (info == nullptr) return false;
    bool result =
        !g_desktop_app_info_get_nodisplay(info) && !g_desktop_app_info_get_is_hidden(info);
    g_object_unref(info);
    return result;
}

}  // namespace

bool isShownEntry(const std::string& id) {
    std::string file = id.ends_with(kSuffix) ? id : id + std::string(kSuffix);
    return shown(g_desktop_app_info_new(file.c_str()));
}

bool isShownEntryFile(const std::string& path) {
    return shown(g_desktop_app_info_new_from_filename(path.c_str()));
}

std::optional<std::string> desktopIdOfPath(const std::string& path) {
    if (!path.ends_with(kSuffix)) return std::nullopt;
    constexpr std::string_view kApplications = "/applications/";
    std::size_t at = path.rfind(kApplications);
    std::string id;
    if (at != std::string::npos) {
        id = path.substr(at + kApplications.size());
        for (char& c : id) {
            if (c == '/') c = '-';
        }
    } else {
        std::size_t slash = path.rfind('/');
        id = slash == std::string::npos ? path : path.substr(slash + 1);
    }
    id = withoutSuffix(id);
    if (id.empty()) return std::nullopt;
    return id;
}

std::vector<std::string> handlersOf(const std::string& contentType) {
    std::vector<std::string> ids;
    GList* all = g_app_info_get_all_for_type(contentType.c_str());
    for (GList* item = all; item != nullptr; item = item->next) {
        const char* id = g_app_info_get_id(static_cast<GAppInfo*>(item->data));
        if (id != nullptr && *id != '\0') ids.push_back(withoutSuffix(id));
    }
    g_list_free_full(all, g_object_unref);
    return ids;
}

}  // namespace vorsel::linux_platform
