#include "settings.h"

#include <string.h>

#include "messages.h"

tenvik_settings settings;

void reset_settings() { settings = tenvik_settings(); }

void check_format() {
  if (!settings.format_string)
    settings.format_string =
        settings.family == FAMILY_IPV6 ? "%m %a/%p" : "%m %a %w";
  // A plain substring search: "%%m" counts as holding the modifier too.
  if (strstr(settings.format_string, "%m") == nullptr &&
      !settings.opt_positive) {
    settings.opt_positive = 1;
    if (!settings.opt_silent) fputs(MSG_NO_MODIFIER, settings.err_stream);
  }
}
