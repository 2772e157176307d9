// Texts between the tables, which hold them in the program's code page (GBK), and the
// screen.
#pragma once

#include <QString>
#include <string>

#include "platform/codepage.h"

namespace quorvane::ui {

inline QString ShownText(const std::string& stored) { return QString::fromStdString(codepage::ToUtf8(stored)); }

// A character the code page lacks makes the whole text empty.
inline std::string StoredText(const QString& shown) {
    return codepage::FromUtf8(shown.toStdString()).value_or(std::string());
}

}  // namespace quorvane::ui
