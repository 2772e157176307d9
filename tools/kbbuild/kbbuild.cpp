// kbbuild: compiles the knowledge-base sources into the tables vrqinfo and vrqdtl.
//   kbbuild SOURCE_DIR OUTPUT_DIR
#include <iostream>

#include "engine/errors/engine_errors.h"
#include "tools/kbbuild/kb_source.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: kbbuild SOURCE_DIR OUTPUT_DIR\n";
        return 2;
    }
    try {
        const auto result = quorvane::kb::CompileKnowledgeBase(argv[1], argv[2]);
        std::cout << "kbbuild: " << result.items << " repair items, " << result.details
                  << " detail rows\n";
        return 0;
    } catch (const quorvane::kb::TSourceError& e) {
        std::cerr << e.what() << "\n";
    } catch (const reruzo::ERERUZOEngineError& e) {
        std::cerr << "kbbuild: " << e.what() << "\n";
    }
    return 1;
}
