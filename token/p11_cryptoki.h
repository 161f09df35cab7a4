// The PKCS#11 declarations live with the platform's module checkpoint.
#pragma once

#include "pkcs11/cryptoki.h"
