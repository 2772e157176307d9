// A table password the session knows only while a statement creates or opens the
// table that needs it: added when the session does not know it yet, removed again
// however the statement ends.
#pragma once

#include <string>

#include "engine/table/data_session.h"

namespace reruzo {

class TSessionPassword {
public:
    // Nothing happens unless `needed` (the table is encrypted).
    TSessionPassword(TDataSession& session, std::string password, bool needed)
        : session_(session), password_(std::move(password)), added_(needed && !session.HasPassword(password_)) {
        if (added_) session_.AddPassword(password_);
    }
    ~TSessionPassword() {
        if (added_) session_.RemovePassword(password_);
    }
    TSessionPassword(const TSessionPassword&) = delete;
    TSessionPassword& operator=(const TSessionPassword&) = delete;

private:
    TDataSession& session_;
    std::string password_;
    bool added_;
};

}  // namespace reruzo
