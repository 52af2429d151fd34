#include "kivu_package.hpp"
