#pragma once

#include <QString>

namespace tallyfold {

// A part of the man page in scdoc's markup, written from the same tables as the help:
// "synopsis", "options" (the global ones), "commands", "examples" or "output"; "bash": the
// commands and options as the bash completion's tables. Empty for another name.
QString manSource(const QString& part);

}  // namespace tallyfold
