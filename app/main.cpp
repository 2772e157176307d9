// Quorvane: repairs Windows registry settings from a knowledge base of repair items.
#include <QDir>

#include "app/quorvane_app.h"

int main(int argc, char** argv) {
    TQuorvaneApplication app(argc, argv);
    return RunQuorvane(QDir(QCoreApplication::applicationDirPath()).absolutePath().toStdString() + "/");
}
