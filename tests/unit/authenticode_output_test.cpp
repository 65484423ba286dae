// osslsigncode verify's report read back: the texts are its own, trimmed
// to the lines that matter.
#include <gtest/gtest.h>

#include <string>

#include "authenticode.h"

namespace {

const std::string signer_lines =
    "Signer's certificate:\n"
    "\t------------------\n"
    "\tSigner #0:\n"
    "\t\tSubject: /O=Test Site/CN=Test Site Firmware\n"
    "\t\tIssuer : /CN=Test Site CA\n"
    "\t\tSerial : 25F56FC64B8C66B2651D3F1D0CFD167B07701FDF\n";

const std::string digests_alike =
    "Message digest algorithm  : SHA256\n"
    "Current message digest    : D940770A618D7C136CFD4E6B1FB579320D10AB4242F67BAFEEC28CDB2BD4629C \n"
    "Calculated message digest : D940770A618D7C136CFD4E6B1FB579320D10AB4242F67BAFEEC28CDB2BD4629C \n\n";

TEST(VerifyOutput, ChainVerifiedWithATimeStamp) {
    std::string text = "PE checksum   : 00001D81\n\nSignature Index: 0  (Primary Signature)\n\n" + digests_alike +
                       signer_lines +
                       "\nAuthenticated attributes:\n\tSigning time: Dec 10 15:47:10 2026 GMT\n"
                       "\nCountersignatures:\n\tTimestamp time: Dec 10 15:47:11 2026 GMT\n"
                       "\tSigning time: Dec 10 15:47:11 2026 GMT\n\tHash Algorithm: sha256\n"
                       "\tIssuer: /CN=Test Site TSA CA\n"
                       "Signing certificate chain verified using:\n"
                       "\t\tSubject: /CN=Test Site CA\n\t\tIssuer : /CN=Test Site CA\n"
                       "Signature verification: ok\n\nNumber of verified signatures: 1\nSucceeded\n";
    pack::Verified v = pack::read_verify_output(text, 0);
    EXPECT_TRUE(v.ran && v.digests && v.digest_matches && v.chain_ok);
    EXPECT_EQ(v.signer, "/O=Test Site/CN=Test Site Firmware");
    EXPECT_EQ(v.issuer, "/CN=Test Site CA");
    EXPECT_EQ(v.algorithm, "SHA256");
    // The signer's own "Signing time" is no time-stamp.
    EXPECT_EQ(v.timestamp, "Dec 10 15:47:11 2026 GMT");
    EXPECT_EQ(v.said, "");
}

TEST(VerifyOutput, ChangedFileIsAMismatchWhateverTheStatus) {
    std::string text =
        "Signature verification: failed\n\nCurrent PE checksum   : 00001D81\nCalculated PE checksum: 00001E81\n"
        "Warning: invalid PE checksum\n\nSignature Index: 0  (Primary Signature)\n\n"
        "Message digest algorithm  : SHA256\n"
        "Current message digest    : D940770A618D7C136CFD4E6B1FB579320D10AB4242F67BAFEEC28CDB2BD4629C \n"
        "Calculated message digest : 1B6D82C5C8DD3DD91B1539F3F49BE48B80166F9723BB6B169097CF5072039BF7     MISMATCH!!!\n"
        "\nNumber of verified signatures: 1\nFailed\n";
    for (int status : {0, 1}) {
        pack::Verified v = pack::read_verify_output(text, status);
        EXPECT_TRUE(v.digests);
        EXPECT_FALSE(v.digest_matches);
        EXPECT_FALSE(v.chain_ok);
    }
}

TEST(VerifyOutput, UnknownIssuerFailsTheChainOnly) {
    std::string text = "40303CDAEF7F0000:error:10800075:PKCS7 routines:PKCS7_verify:certificate verify error\n" +
                       digests_alike + signer_lines + "\nTimestamp is not available\n\n" +
                       "\tError: unable to get local issuer certificate\n\tDepth: 0\nPKCS7_verify error\n"
                       "Signature verification: failed\n\nNumber of verified signatures: 1\nFailed\n";
    pack::Verified v = pack::read_verify_output(text, 1);
    EXPECT_TRUE(v.digest_matches);
    EXPECT_FALSE(v.chain_ok);
    EXPECT_EQ(v.timestamp, "");
    EXPECT_EQ(v.said, "Error: unable to get local issuer certificate");
}

TEST(VerifyOutput, NoDigestsIsNotAMatch) {
    pack::Verified v = pack::read_verify_output("Unrecognized file type - only PE files are supported\nFailed\n", 1);
    EXPECT_FALSE(v.digests || v.digest_matches || v.chain_ok);
    EXPECT_EQ(v.said, "Unrecognized file type - only PE files are supported");
}

}  // namespace
