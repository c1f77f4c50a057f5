// Writes the clean template of the settings-and-log store ("db1_clean.mdb"): both tables, no
// rows. The build runs it into the program folder; start-up copies the template to "db1.mdb"
// when that file is missing.
#include <cstdio>
#include <exception>

#include "support/db_manager.h"
#include "vbrt/error.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }
    try {
        dbschema::CreateCleanDatabase(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], argv[1], e.what());
        return 1;
    }
    return 0;
}
