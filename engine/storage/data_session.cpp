// The default engine session and directory objects.
#include "engine/storage/data_session.h"

#include "platform/file_names.h"

namespace reruzo {

TDataSession::TDataSession() : defaultDirectory_(quorvane::files::CurrentDirectory()) {}

TDataSession& TDataSession::Default() {
    static TDataSession session;
    return session;
}

std::shared_ptr<TDataDirectory> TDataSession::OpenDirectory(const std::string& name,
                                                            const std::string& path) {
    const std::string folder =
        path.empty() ? defaultDirectory_ : quorvane::files::NormalizeDirectory(path);
    return std::make_shared<TDataDirectory>(name, folder);
}

}  // namespace reruzo
