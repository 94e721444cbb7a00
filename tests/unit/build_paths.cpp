// Where this build put what the tests use, and its test key: the only file of the tests that
// names them, so that the others compile alike in every checkout (and come from the compiler
// cache in a fresh one).
#include "test_support.h"

const char* const kStandinDir = STANDIN_DIR;
const char* const kHttpTestServerDir = HTTP_TEST_SERVER_DIR;
const char* const kNdnpackExe = NDNPACK_EXE;
const char* const kTestPublisherSecret = TEST_PUBLISHER_SECRET;
const char* const kTestPublisherKeyHex = TEST_PUBLISHER_KEY_HEX;
