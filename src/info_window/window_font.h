#pragma once

#include <QFont>

namespace tallyfold {

// The windows' font: 宋体 9 pt when the machine has it, else an installed CJK serif.
QFont windowFont();

}  // namespace tallyfold
