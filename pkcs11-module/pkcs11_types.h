// The PKCS#11 (2.40) names and structures, from the system's p11-kit header.
#pragma once

#include <p11-kit/pkcs11.h>
