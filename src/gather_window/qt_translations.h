#pragma once

namespace tallyfold {

// Lets Qt's own texts (stock buttons, the file dialog) speak Chinese: loads
// qtbase_zh_CN from Qt's translations folder once, unless a translator that the
// host installed already translates them. True when Qt's texts are translated.
bool installQtTranslations();

}  // namespace tallyfold
