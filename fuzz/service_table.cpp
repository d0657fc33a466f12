// getservbyname for the fuzz targets that convert port texts. The C library opens and parses
// the whole services file on every call, which took most of each run; a few fixed entries
// answer here instead, so that the fuzzer's time goes to the code that converts the texts.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>
#include <cstring>

extern "C" servent* getservbyname(const char* name, const char* /*protocol*/) {
    static const struct {
        const char* name;
        std::uint16_t port;
    } services[] = {{"ftp", 21}, {"ssh", 22}, {"domain", 53}, {"http", 80}, {"https", 443}};
    static char tcp[] = "tcp";
    static char* noAliases[] = {nullptr};
    static servent entry;
    for (const auto& service : services) {
        if (std::strcmp(name, service.name) != 0)
            continue;
        entry.s_name = const_cast<char*>(service.name);
        entry.s_aliases = noAliases;
        entry.s_port = htons(service.port);
        entry.s_proto = tcp;
        return &entry;
    }
    return nullptr;
}
