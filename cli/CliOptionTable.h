// korvelcrypt-cli's options, once: the parser (CliOptions), --help, the check of
// which options go together, and the test that holds the README and the manual
// page to the options all read this table. A new option is a new row.
#pragma once

#include <QList>
#include <QString>

namespace CliOptionTable {

// Another option that makes no sense with this one, and why.
struct Conflict {
    const char* option; // long name
    const char* why;
};

struct Option {
    // The heading --help prints before this option, after a blank line; null: none.
    const char* section;
    const char* longName;
    const char* shortName; // null: none
    const char* value; // the value's name in --help; null: a switch
    // Its lines in --help, beside the name; "%1" is the default thread count.
    const char* help;
    // A value option that may stand only once (a second one would be dropped).
    bool once;
    // An option this one only modifies, and the usage error when that is missing.
    const char* needs;
    const char* needsWhy;
    QList<Conflict> conflicts;
};

// Every option, in the order --help shows them.
const QList<Option>& options();

// The option part of --help: each section with its options' lines, names in a
// column of their own and the help beside them.
QString helpLines();

} // namespace CliOptionTable
