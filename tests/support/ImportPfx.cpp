// ImportPfx.cpp - import_pfx [--key-from KEY.pfx] FILE.pfx ...: puts each
// PFX's leaf certificate with its private key into the local machine's "My"
// store and its other certificates into "CA", as certutil -importPFX does,
// each key in a container of its own. With --key-from, the next file's
// certificate goes in with KEY.pfx's key instead of its own: a certificate
// whose key does not match. The files have an empty password. Every run
// marks what it adds; what an earlier run added over an hour ago is removed
// first, keys included, so that runs side by side keep theirs.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

const wchar_t Mark[] = L"qhg-test ";

HCERTSTORE MachineStore(const wchar_t* name) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
}

// The mark's time, or -1 when the certificate has no mark.
long long MarkedAt(PCCERT_CONTEXT certificate) {
    wchar_t name[64] = L"";
    DWORD size = sizeof name - sizeof(wchar_t);
    if (!CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, name, &size) ||
        std::wcsncmp(name, Mark, std::wcslen(Mark)) != 0)
        return -1;
    return std::wcstoll(name + std::wcslen(Mark), nullptr, 10);
}

void RemoveOld(const wchar_t* storeName) {
    HCERTSTORE store = MachineStore(storeName);
    long long before = static_cast<long long>(std::time(nullptr)) - 3600;
    for (PCCERT_CONTEXT at = nullptr;
         store != nullptr && (at = CertEnumCertificatesInStore(store, at)) != nullptr;) {
        long long marked = MarkedAt(at);
        if (marked < 0 || marked >= before)
            continue;
        DWORD size = 0;
        if (CertGetCertificateContextProperty(at, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
            std::vector<BYTE> bytes(size);
            auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(bytes.data());
            HCRYPTPROV deleted = 0;
            if (CertGetCertificateContextProperty(at, CERT_KEY_PROV_INFO_PROP_ID, info, &size))
                CryptAcquireContextW(&deleted, info->pwszContainerName, info->pwszProvName,
                                     info->dwProvType,
                                     (info->dwFlags & CRYPT_MACHINE_KEYSET) | CRYPT_DELETEKEYSET);
        }
        CertDeleteCertificateFromStore(CertDuplicateCertificateContext(at));
    }
    if (store != nullptr)
        CertCloseStore(store, 0);
}

HCERTSTORE OpenPfx(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    CRYPT_DATA_BLOB blob = {DWORD(data.size()), reinterpret_cast<BYTE*>(data.data())};
    HCERTSTORE store = PFXImportCertStore(&blob, L"", CRYPT_EXPORTABLE);
    if (store == nullptr)
        std::fprintf(stderr, "import_pfx: %s: PFXImportCertStore failed, error 0x%08lx\n", path,
                     GetLastError());
    return store;
}

// The certificate that issued none of the others. Some PFXImportCertStores
// (Wine's) give every certificate of the file the key.
PCCERT_CONTEXT Leaf(HCERTSTORE pfx) {
    for (PCCERT_CONTEXT leaf = nullptr;
         (leaf = CertEnumCertificatesInStore(pfx, leaf)) != nullptr;) {
        bool issuer = false;
        for (PCCERT_CONTEXT at = nullptr;
             !issuer && (at = CertEnumCertificatesInStore(pfx, at)) != nullptr;) {
            issuer = !CertCompareCertificate(X509_ASN_ENCODING, at->pCertInfo, leaf->pCertInfo) &&
                     CertCompareCertificateName(X509_ASN_ENCODING, &leaf->pCertInfo->Subject,
                                                &at->pCertInfo->Issuer);
            if (issuer)
                CertFreeCertificateContext(at);
        }
        if (!issuer)
            return leaf;
    }
    return nullptr;
}

// A key kept for good: the PFX leaf's private key copied into a key
// container of its own, as certutil -importPFX leaves one. Wine 8's
// PFXImportCertStore keeps every file's key in the account's one default
// container, which the next import overwrites, and its
// CryptAcquireCertificatePrivateKey looks only among the account's keys,
// not the machine's: the container is the account's. Its
// CRYPT_KEY_PROV_INFO goes into info.
bool KeepKey(PCCERT_CONTEXT leaf, std::vector<BYTE>* info) {
    static int made = 0;
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE from = 0;
    DWORD keySpec = 0;
    BOOL free = FALSE;
    HCRYPTKEY key = 0, kept = 0;
    DWORD size = 0;
    if (!CryptAcquireCertificatePrivateKey(leaf, 0, nullptr, &from, &keySpec, &free))
        return false;
    // Wine's import gives dwKeySpec 3: the key is under one of the two.
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        keySpec = CryptGetUserKey(from, AT_KEYEXCHANGE, &key) ? AT_KEYEXCHANGE : AT_SIGNATURE;
    if ((key == 0 && !CryptGetUserKey(from, keySpec, &key)) ||
        !CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &size))
        return false;
    std::vector<BYTE> blob(size);
    bool ok = CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &size);
    CryptDestroyKey(key);
    wchar_t container[64];
    std::swprintf(container, 64, L"%ls%lld.%lu.%d", Mark,
                  static_cast<long long>(std::time(nullptr)), GetCurrentProcessId(), ++made);
    HCRYPTPROV to = 0;
    ok = ok &&
         CryptAcquireContextW(&to, container, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET);
    ok = ok && CryptImportKey(to, blob.data(), size, 0, CRYPT_EXPORTABLE, &kept);
    if (kept != 0)
        CryptDestroyKey(kept);
    if (to != 0)
        CryptReleaseContext(to, 0);
    if (free)
        CryptReleaseContext(from, 0);
    info->assign(sizeof(CRYPT_KEY_PROV_INFO) + sizeof container, 0);
    auto* prov = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(info->data());
    std::memcpy(info->data() + sizeof(CRYPT_KEY_PROV_INFO), container, sizeof container);
    prov->pwszContainerName =
        reinterpret_cast<wchar_t*>(info->data() + sizeof(CRYPT_KEY_PROV_INFO));
    prov->pwszProvName = const_cast<wchar_t*>(MS_ENHANCED_PROV_W);
    prov->dwProvType = PROV_RSA_FULL;
    prov->dwKeySpec = keySpec;
    return ok;
}

// The key of KEY.pfx's certificate.
bool KeyOf(const char* path, std::vector<BYTE>* info) {
    HCERTSTORE pfx = OpenPfx(path);
    PCCERT_CONTEXT leaf = pfx != nullptr ? Leaf(pfx) : nullptr;
    bool kept = leaf != nullptr && KeepKey(leaf, info);
    if (leaf != nullptr)
        CertFreeCertificateContext(leaf);
    if (pfx != nullptr)
        CertCloseStore(pfx, 0);
    if (!kept)
        std::fprintf(stderr, "import_pfx: %s: no key, error 0x%08lx\n", path, GetLastError());
    return kept;
}

bool Import(const char* path, const std::vector<BYTE>* keyFrom) {
    HCERTSTORE pfx = OpenPfx(path);
    PCCERT_CONTEXT leaf = pfx != nullptr ? Leaf(pfx) : nullptr;
    std::vector<BYTE> info;
    if (leaf == nullptr || (keyFrom == nullptr && !KeepKey(leaf, &info))) {
        std::fprintf(stderr, "import_pfx: %s: no key, error 0x%08lx\n", path, GetLastError());
        if (pfx != nullptr)
            CertCloseStore(pfx, 0);
        return false;
    }
    // Opened and closed for each file: Wine's registry stores kept only the
    // first file's additions when left open across imports.
    HCERTSTORE my = MachineStore(L"MY"), ca = MachineStore(L"CA");
    wchar_t mark[64];
    std::swprintf(mark, 64, L"%ls%lld", Mark, static_cast<long long>(std::time(nullptr)));
    CRYPT_DATA_BLOB name = {DWORD((std::wcslen(mark) + 1) * sizeof(wchar_t)),
                            reinterpret_cast<BYTE*>(mark)};
    bool ok = my != nullptr && ca != nullptr;
    for (PCCERT_CONTEXT at = nullptr; (at = CertEnumCertificatesInStore(pfx, at)) != nullptr;) {
        bool isLeaf = CertCompareCertificate(X509_ASN_ENCODING, at->pCertInfo, leaf->pCertInfo);
        const void* key = !isLeaf ? nullptr : keyFrom != nullptr ? keyFrom->data() : info.data();
        ok = ok && CertSetCertificateContextProperty(at, CERT_FRIENDLY_NAME_PROP_ID, 0, &name) &&
             CertSetCertificateContextProperty(at, CERT_KEY_CONTEXT_PROP_ID, 0, nullptr) &&
             CertSetCertificateContextProperty(at, CERT_KEY_PROV_INFO_PROP_ID, 0, key) &&
             CertAddCertificateContextToStore(isLeaf ? my : ca, at, CERT_STORE_ADD_REPLACE_EXISTING,
                                              nullptr);
    }
    if (!ok)
        std::fprintf(stderr, "import_pfx: %s: error 0x%08lx\n", path, GetLastError());
    ok = (my == nullptr || CertCloseStore(my, 0)) && ok;
    ok = (ca == nullptr || CertCloseStore(ca, 0)) && ok;
    CertFreeCertificateContext(leaf);
    CertCloseStore(pfx, 0);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    RemoveOld(L"MY");
    RemoveOld(L"CA");
    int status = argc > 1 ? 0 : 2;
    std::vector<BYTE> keyInfo;
    bool keyFrom = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--key-from") == 0 && i + 1 < argc) {
            keyFrom = KeyOf(argv[++i], &keyInfo);
            if (!keyFrom)
                status = 1;
            continue;
        }
        if (!Import(argv[i], keyFrom ? &keyInfo : nullptr))
            status = 1;
        keyFrom = false;
    }
    return status;
}
