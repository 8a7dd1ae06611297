// SpoolCheck.cpp -- after a fault run: is every event the printers were told is stored in the spool, byte for byte, exactly once?
//
//   spool_check ANSWERED_FILE FOLDER...
//
// ANSWERED_FILE lists the ids answered with 200 ("<id> ..." per line, as printer_load writes).
// Every event-*.xml file of the folders must be the body of one id, byte for byte; each answered
// id must be there exactly once, any other at most once. Prints the counts; exit 0 when all holds.
#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "PrinterBodies.h"

namespace {

bool ReadFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *bytes = all.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: spool_check ANSWERED_FILE FOLDER...\n");
        return 2;
    }
    std::set<long> answered;
    {
        std::ifstream list(argv[1]);
        for (long id; list >> id; list.ignore(1 << 20, '\n')) answered.insert(id);
    }
    std::map<long, int> stored;
    unsigned long files = 0, corrupt = 0, partial = 0;
    for (int i = 2; i < argc; ++i) {
        DIR* folder = opendir(argv[i]);
        if (!folder) {
            fprintf(stderr, "spool_check: cannot read %s\n", argv[i]);
            return 2;
        }
        while (dirent* entry = readdir(folder)) {
            std::string name = entry->d_name;
            if (name.compare(0, 8, "partial-") == 0) ++partial;
            if (name.compare(0, 6, "event-") != 0 || name.size() < 4 || name.compare(name.size() - 4, 4, ".xml") != 0)
                continue;
            ++files;
            std::string bytes;
            long id = ReadFile(std::string(argv[i]) + "/" + name, &bytes) ? PrinterBodyId(bytes) : -1;
            if (id < 0 || bytes != PrinterBody(static_cast<unsigned>(id))) {
                ++corrupt;
                fprintf(stderr, "spool_check: %s/%s is no printer's body, byte for byte\n", argv[i], name.c_str());
                continue;
            }
            ++stored[id];
        }
        closedir(folder);
    }
    unsigned long lost = 0, twice = 0, unanswered = 0;
    for (long id : answered) {
        auto found = stored.find(id);
        if (found == stored.end()) {
            ++lost;
            if (lost <= 10) fprintf(stderr, "spool_check: event %ld was answered 200 and is not stored\n", id);
        }
    }
    for (const auto& entry : stored) {
        if (entry.second > 1) {
            ++twice;
            fprintf(stderr, "spool_check: event %ld is stored %d times\n", entry.first, entry.second);
        }
        if (!answered.count(entry.first)) ++unanswered;
    }
    printf("spool_check: %zu answered 200, %lu files: %lu lost, %lu stored more than once, %lu corrupt; "
           "%lu stored without a 200 (the printer heard nothing or 503), %lu partial files set aside\n",
           answered.size(), files, lost, twice, corrupt, unanswered, partial);
    return lost == 0 && twice == 0 && corrupt == 0 ? 0 : 1;
}
