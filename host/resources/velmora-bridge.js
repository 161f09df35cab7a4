// Velmora script bridge library (HTML resource 130): five script objects
// that wrap the bridge methods of window.external, one per component family.

function CardTool() {
	this.getReaderList = function() {
		var rtn = "";
		rtn = external.getReaderList();
		return rtn;
	};
	this.login = function(pin1, pin2) {
		var rtn = external.login(pin1, (pin2 === undefined || pin2 === null) ? "" : pin2);
		return rtn;
	};
	this.OpenCard = function(reader) {
		var rtn = "";
		rtn = external.OpenCard(reader);
		return eval("(" + rtn + ")");
	};
	this.ChangePin = function(pinNew, pinNewConfirm) {
		var rtn = external.ChangePin1(pinNew, pinNewConfirm);
		return rtn;
	};
	this.ChangePin2 = function(pinNew, pinNewConfirm) {
		var rtn = external.ChangePin2(pinNew, pinNewConfirm);
		return rtn;
	};
	this.QueryCert = function() {
		var rtn = "";
		rtn = external.QueryCert();
		return eval("(" + rtn + ")");
	};
	this.RegCert = function(cspName) {
		var rtn = "";
		rtn = external.regCert(cspName);
		return eval("(" + rtn + ")");
	};
}

function JCIC() {
	this.GetBase64MAC = function() {
		var rtn = "";
		rtn = external.GetBase64MAC();
		return rtn;
	};
	this.ImportCert = function(base64X509, MAC) {
		var rtn = external.ImportCert(base64X509, MAC);
		return rtn;
	};
	this.GetBase64CSR = function() {
		var rtn = "";
		rtn = external.GetBase64CSR();
		return rtn;
	};
	this.MakePKCS10 = function(KeyType, KeySize, CN) {
		var rtn = external.MakePKCS10(KeyType, KeySize, CN);
		return rtn;
	};
	this.GetVersion = function() {
		var rtn = "";
		rtn = external.get_GetVersion();
		return rtn;
	};
	this.GetErrorMsg = function() {
		var rtn = "";
		rtn = external.get_GetErrorMsg();
		return rtn;
	};
	this.GetErrorCode = function() {
		var rtn = external.get_GetErrorCode();
		return rtn;
	};
	this.GetPKCS7Data = function() {
		var rtn = "";
		rtn = external.get_GetPKCS7Data();
		return rtn;
	};
	this.SignPKCS7 = function(toSigndata) {
		var rtn = external.SignPKCS7(toSigndata);
		return rtn;
	};
	this.GetSelectedCertNotAfter = function() {
		var rtn = "";
		rtn = external.get_GetSelectedCertNotAfter();
		return rtn;
	};
	this.GetSelectedCertNotBefore = function() {
		var rtn = "";
		rtn = external.get_GetSelectedCertNotBefore();
		return rtn;
	};
	this.GetSelectedCertIssuer = function() {
		var rtn = "";
		rtn = external.get_GetSelectedCertIssuer();
		return rtn;
	};
	this.GetSelectedCertSubject = function() {
		var rtn = "";
		rtn = external.get_GetSelectedCertSubject();
		return rtn;
	};
	this.GetSelectedCertSerial = function() {
		var rtn = "";
		rtn = external.get_GetSelectedCertSerial();
		return rtn;
	};
	this.GetSelectedCertB64 = function() {
		var rtn = "";
		rtn = external.get_GetSelectedCertB64();
		return rtn;
	};
	this.GetCertFinger = function() {
		var rtn = "";
		rtn = external.get_GetCertFinger();
		return rtn;
	};
	this.SelectCert = function(CertType) {
		var rtn = external.SelectCert(CertType);
		return rtn;
	};
	this.Logout = function() {
		var rtn = external.Logout();
		return rtn;
	};
	this.Login = function(PINCode1, PINCode2) {
		var rtn = external.jcicLogin(PINCode1, PINCode2);
		return rtn;
	};
	this.GetCardStatus = function() {
		var rtn = external.GetCardStatus();
		return rtn;
	};
	this.GetCardType = function() {
		var rtn = external.GetCardType();
		return rtn;
	};
	this.SetTokenType = function(type) {
		var rtn = external.SetTokenType(type);
		return rtn;
	};
	this.MacConnectCard = function() {
		var rtn = external.MacConnectCard();
		return rtn;
	};
	this.MacDisConnectCard = function() {
		var rtn = external.MacDisConnectCard();
		return rtn;
	};
	this.MacGetCardStatus = function() {
		var rtn = external.MacGetCardStatus();
		return rtn;
	};
	this.MacTermAuth = function(Key, pB64Cryptogram) {
		var rtn = external.MacTermAuth(Key, pB64Cryptogram);
		return rtn;
	};
	this.MacGenRandom = function() {
		var rtn = "";
		rtn = external.MacGenRandom();
		return rtn;
	};
	this.MacReadEF1001 = function(RecN) {
		var rtn = "";
		rtn = external.MacReadEF1001(RecN);
		return rtn;
	};
	this.MacResetC7Pin = function(strNewPIN) {
		var rtn = external.MacResetC7Pin(strNewPIN);
		return rtn;
	};
	this.MacChangeC7Pin = function(strOldPin, strNewPIN) {
		var rtn = external.MacChangeC7Pin(strOldPin, strNewPIN);
		return rtn;
	};
	this.MacVerifyC7Pin = function(strPIN) {
		var rtn = external.MacVerifyC7Pin(strPIN);
		return rtn;
	};
	this.MacResetC9Pin = function(strNewPIN) {
		var rtn = external.MacResetC9Pin(strNewPIN);
		return rtn;
	};
	this.MacChangeC9Pin = function(strOldPin, strNewPIN) {
		var rtn = external.MacChangeC9Pin(strOldPin, strNewPIN);
		return rtn;
	};
	this.MacVerifyC9Pin = function(strPIN) {
		var rtn = external.MacVerifyC9Pin(strPIN);
		return rtn;
	};
}

function CAPI() {
	this.GetVersion = function() {
		var rtn = "";
		rtn = external.capi_GetVersion();
		return rtn;
	};
	this.GetErrorCode = function() {
		var rtn = external.capi_GetErrorCode();
		return rtn;
	};
	this.GetErrorMsg = function() {
		var rtn = "";
		rtn = external.capi_GetErrorMsg();
		return rtn;
	};
	this.GetCapiErrorCode = function() {
		var rtn = external.capi_GetCapiErrorCode();
		return rtn;
	};
	this.GetCapiErrorMsg = function() {
		var rtn = "";
		rtn = external.capi_GetCapiErrorMsg();
		return rtn;
	};
	this.GetOSName = function() {
		var rtn = "";
		rtn = external.capi_GetOSName();
		return rtn;
	};
	this.GetMacAddress = function() {
		var rtn = "";
		rtn = external.capi_GetMacAddress();
		return rtn;
	};
	this.GetUserHomePath = function() {
		var rtn = "";
		rtn = external.capi_GetUserHomePath();
		return rtn;
	};
	this.RegReadHKCU = function(strName) {
		var rtn = "";
		rtn = external.capi_RegReadHKCU(strName);
		return rtn;
	};
	this.RegWriteHKCUInt = function(strName, dw) {
		var rtn = external.capi_RegWriteHKCUInt(strName, dw);
		return rtn;
	};
	this.RegWriteHKCUStr = function(strName, str) {
		var rtn = external.capi_RegWriteHKCUStr(strName, str);
		return rtn;
	};
	this.Hash = function(strPlainText, dwFlags) {
		var rtn = "";
		rtn = external.capi_Hash(strPlainText, dwFlags);
		return rtn;
	};
	this.HashFile = function(strFileName, dwFlags) {
		var rtn = "";
		rtn = external.capi_HashFile(strFileName, dwFlags);
		return rtn;
	};
	this.SetProviderName = function(strProviderName) {
		var rtn = external.SetProviderName(strProviderName);
		return rtn;
	};
	this.CreatePKCS10 = function(commonName, keyBits, genKeyFlags) {
		var rtn = "";
		rtn = external.capi_CreatePKCS10(commonName, keyBits, genKeyFlags);
		return rtn;
	};
	this.CreatePKCS10Pair = function(commonName, keyBits, genKeyFlags) {
		var rtn = external.capi_CreatePKCS10Pair(commonName, keyBits, genKeyFlags);
		return rtn;
	};
	this.GetCsrForSign = function() {
		var rtn = "";
		rtn = external.capi_GetCsrForSign();
		return rtn;
	};
	this.GetCsrForEncrypt = function() {
		var rtn = "";
		rtn = external.capi_GetCsrForEncrypt();
		return rtn;
	};
	this.AcceptPKCS7 = function(strPkcs7) {
		var rtn = external.capi_AcceptPKCS7(strPkcs7);
		return rtn;
	};
	this.PresetPasswdLengthRange = function(min, max) {
		var rtn = external.capi_PresetPasswdLengthRange(min, max);
		return rtn;
	};
	this.ImportPfxToIE = function(strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage) {
		var rtn = external.capi_ImportPfxToIE(strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage);
		return rtn;
	};
	this.SetDefaultPfxFileName = function(strPrefix) {
		var rtn = external.capi_SetDefaultPfxFileName(strPrefix);
		return rtn;
	};
	this.ChangePfxPasswd = function(strPfxPath, strPfxName, strOldPass, strNewPass, dwFlags) {
		var rtn = external.capi_ChangePfxPasswd(strPfxPath, strPfxName, strOldPass, strNewPass, dwFlags);
		return rtn;
	};
	this.QueryPfxInfo = function(strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage) {
		var rtn = external.capi_QueryPfxInfo(strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage);
		return rtn;
	};
	this.GetImportedPfxFilePath = function() {
		var rtn = "";
		rtn = external.capi_GetImportedPfxFilePath();
		return rtn;
	};
	this.GetImportedPfxFileName = function() {
		var rtn = "";
		rtn = external.capi_GetImportedPfxFileName();
		return rtn;
	};
	this.ChangePfxPasswdEx = function(strPfxPath, strPfxName, strOldPass, strNewPass, dwPort, dwFlags) {
		var rtn = external.capi_ChangePfxPasswdEx(strPfxPath, strPfxName, strOldPass, strNewPass, dwPort, dwFlags);
		return rtn;
	};
	this.ExportPfxFromIE = function(strSubject, strPfxPath, strPassword, dwFlags, dwKeyUsage) {
		var rtn = external.capi_ExportPfxFromIE(strSubject, strPfxPath, strPassword, dwFlags, dwKeyUsage);
		return rtn;
	};
	this.ExportMobileFromPfx = function(strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage) {
		var rtn = "";
		rtn = external.capi_ExportMobileFromPfx(strPfxPath, strPfxName, strPasswd, dwFlags, dwKeyUsage);
		return rtn;
	};
	this.ExportMobileFromIE = function(strSubject, strPasswd, dwFlags, dwKeyUsage) {
		var rtn = "";
		rtn = external.capi_ExportMobileFromIE(strSubject, strPasswd, dwFlags, dwKeyUsage);
		return rtn;
	};
	this.GetExportedPfxFilePath = function() {
		var rtn = "";
		rtn = external.capi_GetExportedPfxFilePath();
		return rtn;
	};
	this.GetExportedPfxFileName = function() {
		var rtn = "";
		rtn = external.capi_GetExportedPfxFileName();
		return rtn;
	};
	this.SelectSigner = function(certFilter, dwFlags, dwKeyUsage) {
		var rtn = external.capi_SelectSigner(certFilter, dwFlags, dwKeyUsage);
		return rtn;
	};
	this.GetSignerPfxFilePath = function() {
		var rtn = "";
		rtn = external.capi_GetSignerPfxFilePath();
		return rtn;
	};
	this.GetSignerPfxFileName = function() {
		var rtn = "";
		rtn = external.capi_GetSignerPfxFileName();
		return rtn;
	};
	this.SignPkcs1 = function(strContent, dwFlags) {
		var rtn = "";
		rtn = external.capi_SignPkcs1(strContent, dwFlags);
		return rtn;
	};
	this.SignPkcs7 = function(strContent, dwFlags) {
		var rtn = "";
		rtn = external.capi_SignPkcs7(strContent, dwFlags);
		return rtn;
	};
	this.SelectSignerEx = function(certFilter, strPfxPath, strPfxName, strPasswd, strCompareDate, dwFlags, dwKeyUsage) {
		var rtn = external.capi_SelectSignerEx(certFilter, strPfxPath, strPfxName, strPasswd, strCompareDate, dwFlags, dwKeyUsage);
		return rtn;
	};
	this.SelectSignerEx2 = function(certFilter, strPfxPath, strPfxName, dwPort, strCompareDate, dwFlags, dwKeyUsage) {
		var rtn = external.capi_SelectSignerEx2(certFilter, strPfxPath, strPfxName, dwPort, strCompareDate, dwFlags, dwKeyUsage);
		return rtn;
	};
	this.GetPortEx = function() {
		var rtn = external.capi_GetPortEx();
		return rtn;
	};
	this.GetCertB64 = function() {
		var rtn = "";
		rtn = external.capi_GetCertB64();
		return rtn;
	};
	this.GetCertSubject = function() {
		var rtn = "";
		rtn = external.capi_GetCertSubject();
		return rtn;
	};
	this.GetCertSubjectCN = function() {
		var rtn = "";
		rtn = external.capi_GetCertSubjectCN();
		return rtn;
	};
	this.GetCertIssuer = function() {
		var rtn = "";
		rtn = external.capi_GetCertIssuer();
		return rtn;
	};
	this.GetCertSerial = function() {
		var rtn = "";
		rtn = external.capi_GetCertSerial();
		return rtn;
	};
	this.GetCertNotBefore = function() {
		var rtn = "";
		rtn = external.capi_GetCertNotBefore();
		return rtn;
	};
	this.GetCertNotAfter = function() {
		var rtn = "";
		rtn = external.capi_GetCertNotAfter();
		return rtn;
	};
	this.GetCertFinger = function() {
		var rtn = "";
		rtn = external.capi_GetCertFinger();
		return rtn;
	};
	this.SymEncrypt = function(strPlainText, strPasswdHex, iAlgorithm, dwFlags) {
		var rtn = "";
		rtn = external.capi_SymEncrypt(strPlainText, strPasswdHex, iAlgorithm, dwFlags);
		return rtn;
	};
	this.SymDecrypt = function(strCipher, strPasswdHex, iAlgorithm, dwFlags) {
		var rtn = "";
		rtn = external.capi_SymDecrypt(strCipher, strPasswdHex, iAlgorithm, dwFlags);
		return rtn;
	};
	this.CertEncryptPkcs7 = function(strPlainText, strCertB64, iAlgorithm, dwFlags) {
		var rtn = "";
		rtn = external.capi_CertEncryptPkcs7(strPlainText, strCertB64, iAlgorithm, dwFlags);
		return rtn;
	};
	this.CertDecryptPkcs7 = function(strCipher, dwFlags) {
		var rtn = "";
		rtn = external.capi_CertDecryptPkcs7(strCipher, dwFlags);
		return rtn;
	};
}

function certReg() {
	this.GetVersion = function() {
		var rtn = "";
		rtn = external.certReg_GetVersion();
		return rtn;
	};
	this.GetErrorCode = function() {
		var rtn = external.certReg_GetErrorCode();
		return rtn;
	};
	this.GetErrorMsg = function() {
		var rtn = "";
		rtn = external.certReg_GetErrorMsg();
		return rtn;
	};
	this.GetCapiErrorCode = function() {
		var rtn = external.certReg_GetCapiErrorCode();
		return rtn;
	};
	this.GetCapiErrorMsg = function() {
		var rtn = "";
		rtn = external.certReg_GetCapiErrorMsg();
		return rtn;
	};
	this.RegSMCert = function(RNBO_IKEY1000_CSP) {
		var rtn = external.certReg_RegSMCert(RNBO_IKEY1000_CSP);
		return rtn;
	};
	this.GetSuccessCount = function() {
		var rtn = external.certReg_GetSuccessCount();
		return rtn;
	};
	this.GetSn = function() {
		var rtn = "";
		rtn = external.certReg_GetSn();
		return rtn;
	};
}

function taimac() {
	this.GetVersion = function() {
		var rtn = "";
		rtn = external.mac_GetVersion();
		return rtn;
	};
	this.GetErrorCode = function() {
		var rtn = external.mac_GetErrorCode();
		return rtn;
	};
	this.GetErrorMsg = function() {
		var rtn = "";
		rtn = external.mac_GetErrorMsg();
		return rtn;
	};
	this.GetCapiErrorCode = function() {
		var rtn = external.mac_GetCapiErrorCode();
		return rtn;
	};
	this.GetCapiErrorMsg = function() {
		var rtn = "";
		rtn = external.mac_GetCapiErrorMsg();
		return rtn;
	};
	this.WriteCertMAC = function(Base64Mac) {
		var rtn = external.mac_WriteCertMAC(Base64Mac);
		return rtn;
	};
	this.ReadBinary = function() {
		var rtn = "";
		rtn = external.mac_ReadBinary();
		return rtn;
	};
	this.ReadPKMAC = function() {
		var rtn = "";
		rtn = external.mac_ReadPKMAC();
		return rtn;
	};
	this.MoveCert = function(srcEFID, dstEFID) {
		var rtn = external.mac_MoveCert(srcEFID, dstEFID);
		return rtn;
	};
	this.ReadEF1001 = function(RecN) {
		var rtn = "";
		rtn = external.mac_ReadEF1001(RecN);
		return rtn;
	};
	this.ChangeANPin = function(strOldPin, strNewPin) {
		var rtn = external.mac_ChangeANPin(strOldPin, strNewPin);
		return rtn;
	};
	this.VerifyANPin = function(strPin) {
		var rtn = external.mac_VerifyANPin(strPin);
		return rtn;
	};
	this.GenRandom = function() {
		var rtn = "";
		rtn = external.mac_GenRandom();
		return rtn;
	};
	this.TermAuth = function(Key, pB64Cryptogram) {
		var rtn = external.mac_TermAuth(Key, pB64Cryptogram);
		return rtn;
	};
	this.UnlockANPin = function() {
		var rtn = external.mac_UnlockANPin();
		return rtn;
	};
	this.WriteEF8000 = function(pCardHolderData) {
		var rtn = external.mac_WriteEF8000(pCardHolderData);
		return rtn;
	};
	this.ResetANPIN = function(strNewPin) {
		var rtn = external.mac_ResetANPIN(strNewPin);
		return rtn;
	};
	this.Read8000 = function(RecN, pPin) {
		var rtn = "";
		rtn = external.mac_Read8000(RecN, pPin);
		return rtn;
	};
	this.Check = function() {
		var rtn = external.mac_Check();
		return rtn;
	};
	this.ResetPIN = function(strNewPIN) {
		var rtn = external.mac_ResetPIN(strNewPIN);
		return rtn;
	};
	this.VerrifyPIN = function(strPIN) {
		var rtn = external.mac_VerrifyPIN(strPIN);
		return rtn;
	};
	this.UnlockKey = function(strKeyName) {
		var rtn = external.mac_UnlockKey(strKeyName);
		return rtn;
	};
	this.ConnectCard = function() {
		var rtn = external.mac_ConnectCard();
		return rtn;
	};
	this.DisConnectCard = function() {
		var rtn = external.mac_DisConnectCard();
		return rtn;
	};
	this.GetCardStatus = function() {
		var rtn = external.mac_GetCardStatus();
		return rtn;
	};
}
