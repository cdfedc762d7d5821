#pragma once

// A real S3 endpoint for a test or bench program: tests/support/ceph-s3 (Ceph's RADOS Gateway on
// a one-node cluster) started in a folder of its own under TMPDIR, and killed again when this
// object goes. No Qt, so benches can use it too.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

class CephGateway {
public:
    struct Outcome {
        std::unique_ptr<CephGateway> gateway; // none when it did not start
        bool packagesMissing = false; // Ceph is not installed: skip, with `why`
        std::string why;
    };

    // `script` is the path of tests/support/ceph-s3. Takes a few seconds.
    static Outcome start(const std::string& script)
    {
        Outcome outcome;
        const char* temporary = std::getenv("TMPDIR");
        std::string folder = std::string(temporary && *temporary ? temporary : "/tmp") + "/ceph-s3-XXXXXX";
        if (!mkdtemp(folder.data())) {
            outcome.why = "cannot make a folder for the gateway under " + folder;
            return outcome;
        }
        const std::string errors = folder + ".log";
        const std::string command = "'" + script + "' start '" + folder + "' " + std::to_string(getpid()) + " 2>'" + errors + "'";
        std::string printed;
        int status = -1;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[512];
            size_t count = 0;
            while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
                printed.append(buffer, count);
            status = pclose(pipe);
        }
        std::ifstream errorFile(errors);
        const std::string logged((std::istreambuf_iterator<char>(errorFile)), std::istreambuf_iterator<char>());
        std::filesystem::remove(errors);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            outcome.packagesMissing = WIFEXITED(status) && WEXITSTATUS(status) == 77;
            outcome.why = logged.empty() ? "ceph-s3 start failed" : logged;
            return outcome;
        }

        auto gateway = std::unique_ptr<CephGateway>(new CephGateway(script, folder));
        std::istringstream lines(printed);
        std::string line;
        while (std::getline(lines, line)) {
            const size_t equals = line.find('=');
            const std::string name = line.substr(0, equals);
            const std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
            if (name == "endpoint")
                gateway->endpoint = value;
            else if (name == "region")
                gateway->region = value;
            else if (name == "access_key")
                gateway->accessKey = value;
            else if (name == "secret_key")
                gateway->secretKey = value;
        }
        if (gateway->endpoint.empty() || gateway->accessKey.empty() || gateway->secretKey.empty()) {
            outcome.why = "ceph-s3 start printed no endpoint and keys: " + printed;
            return outcome;
        }
        outcome.gateway = std::move(gateway);
        return outcome;
    }

    ~CephGateway()
    {
        const std::string command = "'" + m_script + "' stop '" + m_folder + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "CephGateway: '%s' failed\n", command.c_str());
    }
    CephGateway(const CephGateway&) = delete;
    CephGateway& operator=(const CephGateway&) = delete;

    std::string endpoint; // http://127.0.0.1:PORT
    std::string region;
    std::string accessKey;
    std::string secretKey;

private:
    CephGateway(std::string script, std::string folder)
        : m_script(std::move(script))
        , m_folder(std::move(folder))
    {
    }

    std::string m_script;
    std::string m_folder;
};
