// Reading attributes of token objects.
#include <cstring>

#include "p11_layer.h"

namespace quennet {

CK_RV readAttribute(PKCS11_SLOT& slot, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                    std::vector<unsigned char>& out, size_t limit) {
  out.assign(limit, 0);
  CK_ATTRIBUTE attr = {type, out.data(), CK_ULONG(limit)};
  CK_RV rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_GetAttributeValue, slot.session, object, &attr, CK_ULONG(1));
  if (rv == CKR_OK && (attr.ulValueLen == CK_UNAVAILABLE_INFORMATION || attr.ulValueLen > limit))
    rv = CKR_ATTRIBUTE_TYPE_INVALID;
  out.resize(rv == CKR_OK ? attr.ulValueLen : 0);
  return rv;
}

bool readUlong(PKCS11_SLOT& slot, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_ULONG& value) {
  std::vector<unsigned char> bytes;
  if (readAttribute(slot, object, type, bytes, sizeof(CK_ULONG)) != CKR_OK || bytes.size() != sizeof(CK_ULONG))
    return false;
  memcpy(&value, bytes.data(), sizeof value);
  return true;
}

}  // namespace quennet
