#!/usr/bin/env bash
# Brings the texts of the window and the console into the translator's file
# (broadcaster/translations/tutorlane_en.ts): new texts come in unfinished, texts that left the
# code are marked vanished. Translate them in Qt Linguist (or by hand), then build.
set -euo pipefail
cd "$(dirname "$0")/.."
ts=${1:-broadcaster/translations/tutorlane_en.ts}
# Shared code without Qt shows its texts through basis::Translate(context, source).
/usr/lib/qt6/bin/lupdate -silent -locations none -no-obsolete -source-language zh_CN \
    -target-language en -tr-function-alias translate+=Translate \
    -I broadcaster -I basis/include -extensions cpp,h broadcaster/app broadcaster/capture -ts "$ts" \
    2> >(grep -v "Ignoring definition of undeclared qualified class" >&2)
