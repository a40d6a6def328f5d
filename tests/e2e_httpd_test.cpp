// The HTTP front end in-process on port 8050: routes, files, origins and the port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <memory>

#include "interfaces/jsonrpc/Httpd.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/sandbox.h"

using namespace testsupport;

namespace {

class HttpdTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof(cwd))) return;
        old_cwd = cwd;
        docs = std::make_unique<Sandbox>();
        write_file(docs->root() + "/index.shtml", "<p>before</p><!--#include virtual=\"part.html\" --><p>after</p>");
        write_file(docs->root() + "/part.html", "INCLUDED");
        if (chdir(docs->root().c_str()) != 0) return;
        server = new Httpd();
        server->start();
    }
    // A failed suite set-up fails every test (it would otherwise count as skipped).
    void SetUp() override { ASSERT_NE(server, nullptr) << "the suite's server did not start"; }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
        if (chdir(old_cwd.c_str()) != 0) ADD_FAILURE() << "could not return to " << old_cwd;
        docs.reset();
    }
    static Httpd* server;
    static std::unique_ptr<Sandbox> docs;
    static std::string old_cwd;
};
Httpd* HttpdTest::server = nullptr;
std::unique_ptr<Sandbox> HttpdTest::docs;
std::string HttpdTest::old_cwd;

}  // namespace

TEST_F(HttpdTest, RootRedirectsToTheIndexPage) {
    HttpReply r = http_request(8050, "GET", "/");
    EXPECT_EQ(r.raw, "HTTP/1.1 301 Moved Permanently\r\nLocation: /index.shtml\r\n\r\n");
}

TEST_F(HttpdTest, FilesComeFromTheWorkingDirectoryWithIncludes) {
    HttpReply r = http_request(8050, "GET", "/index.shtml");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<p>before</p>INCLUDED"), std::string::npos) << r.raw;
    EXPECT_NE(r.body.find("<p>after</p>"), std::string::npos);
    EXPECT_EQ(http_request(8050, "GET", "/missing.html").status, 404);
}

TEST_F(HttpdTest, JsonRpcEndpointIsExactlyOnePath) {
    EXPECT_EQ(http_request(8050, "POST", "/json-rpc?x=1", "not json").raw,  // a query is no part of the path
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"jsonrpc\":\"2.0\"}");
    // A browser page of another origin is refused; the instrument's own pages and clients
    // without an Origin header are not.
    // (the test client sends "Host: 127.0.0.1")
    for (const auto& c :
         {std::make_pair("Origin: http://127.0.0.1\r\n", 200), std::make_pair("Origin: http://evil.example\r\n", 403),
          std::make_pair("Origin: null\r\n", 403), std::make_pair("Origin: http://127.0.0.1:8050\r\n", 403)}) {
        HttpReply r = http_request(8050, "POST", "/json-rpc", "not json", c.first);
        EXPECT_EQ(r.status, c.second) << c.first;
    }
    // Not the endpoint: the library's own file handling answers.
    for (const char* path : {"/json-rpc/", "/JSON-RPC"}) {
        HttpReply r = http_request(8050, "POST", path, "{}");
        EXPECT_EQ(r.status, 404) << path << "\n" << r.raw;
    }
}

TEST_F(HttpdTest, SecondServerOnTheSamePortExitsWithStatusOne) {
    // This suite's server holds port 8050: a whole second pulserd ends with status 1, its other
    // interfaces and the device object notwithstanding.
    Sandbox root;
    Process second({program("pulserd")}, {"TARVEX_ROOT=" + root.root()}, root.root());
    EXPECT_EQ(second.wait(std::chrono::seconds(60)), 1) << second.output();
    // The first server is still the one answering.
    EXPECT_EQ(http_request(8050, "GET", "/part.html").body, "INCLUDED");
}
