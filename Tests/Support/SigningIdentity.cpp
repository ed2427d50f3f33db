#include "Support/SigningIdentity.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <fstream>
#include <memory>

namespace vornelo::test {

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* pointer) const { Free(pointer); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<::EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<::X509_free>>;
using File = std::unique_ptr<FILE, Deleter<::fclose>>;

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = ::X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    ASSERT_NE(extension, nullptr) << value;
    ::X509_add_ext(certificate, extension, -1);
    ::X509_EXTENSION_free(extension);
}

}  // namespace

PemIdentity makeCertificate(const std::filesystem::path& folder, const std::string& name, const CertificateProfile& profile,
                            const std::optional<PemIdentity>& issuer) {
    PemIdentity made{folder / (name + ".pem"), folder / (name + ".key")};
    Key key(::EVP_EC_gen("P-256"));
    Certificate certificate(::X509_new());
    EXPECT_TRUE(key && certificate);
    static long serial = 1;
    ::X509_set_version(certificate.get(), 2);
    ::ASN1_INTEGER_set(::X509_get_serialNumber(certificate.get()), serial++);
    ::X509_gmtime_adj(::X509_getm_notBefore(certificate.get()), profile.validFromDays * 86400);
    ::X509_gmtime_adj(::X509_getm_notAfter(certificate.get()), profile.validUntilDays * 86400);
    ::X509_set_pubkey(certificate.get(), key.get());
    X509_NAME* subject = ::X509_get_subject_name(certificate.get());
    const auto add = [subject](const char* field, const std::string& value) {
        ::X509_NAME_add_entry_by_txt(subject, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    };
    if (profile.organizationalUnit) add("OU", *profile.organizationalUnit);
    add("CN", profile.commonName);

    Certificate issuerCertificate;
    Key issuerKey;
    if (issuer) {
        File certificateFile(std::fopen(issuer->certificate.c_str(), "r"));
        File keyFile(std::fopen(issuer->key.c_str(), "r"));
        EXPECT_TRUE(certificateFile && keyFile);
        issuerCertificate.reset(::PEM_read_X509(certificateFile.get(), nullptr, nullptr, nullptr));
        issuerKey.reset(::PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    }
    X509* signer = issuer ? issuerCertificate.get() : certificate.get();
    ::X509_set_issuer_name(certificate.get(), ::X509_get_subject_name(signer));
    const bool ca = profile.authority;
    addExtension(certificate.get(), signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    addExtension(certificate.get(), signer, NID_key_usage, ca ? "critical,keyCertSign" : "critical,digitalSignature");
    addExtension(certificate.get(), signer, ca ? NID_subject_key_identifier : NID_ext_key_usage,
                 ca ? "hash" : profile.codeSigning ? "codeSigning" : "serverAuth");
    EXPECT_GT(::X509_sign(certificate.get(), issuer ? issuerKey.get() : key.get(), ::EVP_sha256()), 0);

    File certificateOut(std::fopen(made.certificate.c_str(), "w"));
    File keyOut(std::fopen(made.key.c_str(), "w"));
    EXPECT_TRUE(certificateOut && keyOut);
    EXPECT_EQ(::PEM_write_X509(certificateOut.get(), certificate.get()), 1);
    EXPECT_EQ(::PEM_write_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
    return made;
}

void flipLastByte(const std::filesystem::path& path) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(-1, std::ios::end);
    const char last = static_cast<char>(file.get() ^ 0x01);
    file.seekp(-1, std::ios::end);
    file.put(last);
}

}  // namespace vornelo::test
