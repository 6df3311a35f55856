// The SCPI instrument's command table as text, for tests/check_scpi_docs.py
// to hold the README's and the manual page's command tables against: one
// line per command, FORM<TAB>READS_ONLY (1 or 0)<TAB>HELP.
#include <cstdio>

#include "instrument/Scpi.h"

int main() {
  for (const tarvel::ScpiCommandHelp& c : tarvel::ScpiInstrument::CommandList()) {
    std::printf("%s\t%d\t%s\n", c.form.c_str(), c.readsOnly ? 1 : 0, c.help.c_str());
  }
  return 0;
}
