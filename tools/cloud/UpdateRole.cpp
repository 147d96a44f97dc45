#include "UpdateRole.h"

#include <httplib.h>
#include <openssl/evp.h>

#include "ConnectionRole.h"

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 15]);
    }
    return text;
}

std::string UpdateRole::metadata(const UpdateRelease& release, const std::string& platform,
                                 const std::string& host) const {
    if (release.emptyMetadata) {
        return std::string();
    }
    std::string folder = expandUrl(release.fileUrl, host, mEndpoints);
    for (size_t at = folder.find("{platform}"); at != std::string::npos;
         at = folder.find("{platform}", at + platform.size())) {
        folder.replace(at, 10, platform);
    }
    std::string body = "Version:" + release.version + "\r\n";
    body += "VersionInfo:" + release.versionInfo + "\r\n";
    if (!release.files.empty()) {
        body += "DownloadUrl:";
        for (size_t i = 0; i < release.files.size(); ++i) {
            body += (i ? "," : "") + folder + release.files[i].name;
        }
        body += "\r\n";
    }
    if (!release.setupFile.empty()) {
        body += "SetupFile:" + release.setupFile + "\r\n";
    }
    if (release.digests) {
        for (const UpdateFile& file : release.files) {
            const std::string digest =
                file.wrongDigest ? sha256Hex(file.content + "x") : sha256Hex(file.content);
            body += "Sha256:" + file.name + " " + digest + "\r\n";
        }
    }
    return body;
}

void UpdateRole::addRoutes(httplib::Server& server, Listener) {
    server.Get(R"(/windows7/([^/]+)/UpdateInfo\.meta)",
               [this](const httplib::Request& request, httplib::Response& response) {
                   const auto release = mData.updates.find(request.matches[1]);
                   if (release == mData.updates.end()) {
                       response.status = 404;
                       return;
                   }
                   std::string host = hostNameOf(request.get_header_value("Host"));
                   if (host.empty()) {
                       host = displayAddress(request.local_addr, true);
                   }
                   response.set_content(metadata(release->second, release->first, host),
                                        "text/plain");
               });
    server.Get(R"(/windows7/([^/]+)/files/([^/]+))",
               [this](const httplib::Request& request, httplib::Response& response) {
                   const auto release = mData.updates.find(request.matches[1]);
                   if (release == mData.updates.end()) {
                       response.status = 404;
                       return;
                   }
                   for (const UpdateFile& file : release->second.files) {
                       if (file.name == request.matches[2]) {
                           response.status = file.status;
                           if (file.status == 200) {
                               response.set_content(file.content, "application/octet-stream");
                           }
                           return;
                       }
                   }
                   response.status = 404;
               });
}
