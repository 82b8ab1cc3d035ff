// The text of one published outcome: the topic, one space and a JSON object
// with the members action, result, domain and selector, in that order and
// without spaces.
//
// Domain and selector come from mail traffic and are escaped so that every
// frame stays valid JSON in UTF-8 whatever the bytes: quote and backslash are
// escaped, control bytes get \b \t \n \f \r or \u00XX, well-formed UTF-8
// sequences pass unchanged and every byte of an ill-formed one becomes
// \ufffd. The topic, action and result are written as they are.
//
// Fails only with OutOfMemory. Pure; any thread may call it.
#pragma once

#include <string>
#include <string_view>

#include "milter/result_sink.h"
#include "platform/error.h"

namespace quellsig {

Result<std::string> resultFrame(std::string_view topic, const ResultRecord& record);

}  // namespace quellsig
