// sievecheck's manual, the footer of --help: what each option does beyond its line.
#pragma once

#include <string>

namespace sievecheck {

std::string manual();

} // namespace sievecheck
