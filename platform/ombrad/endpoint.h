// An IPX datagram endpoint of the TLI provider "/dev/ravitp", owned: the
// destructor closes it.
#ifndef DRAX_OMBRAD_ENDPOINT_H
#define DRAX_OMBRAD_ENDPOINT_H

#include "sap.h"

#include <string>

namespace ombrad {

constexpr const char *kDatagramDevice = "/dev/ravitp";
// Largest datagram we take in: a full classic IPX packet's data.
constexpr size_t kMaxDatagram = 576 - 30;
constexpr uint8_t kSapPacketType = 4;

class DatagramEndpoint {
public:
    DatagramEndpoint() = default;
    ~DatagramEndpoint() { close(); }
    DatagramEndpoint(DatagramEndpoint &&o) noexcept : fd_(o.fd_), bound_(o.bound_) { o.fd_ = -1; }
    DatagramEndpoint &operator=(DatagramEndpoint &&o) noexcept;
    DatagramEndpoint(const DatagramEndpoint &) = delete;
    DatagramEndpoint &operator=(const DatagramEndpoint &) = delete;

    // Opens the provider in non-blocking mode and binds to `socket` (0: a
    // socket of the provider's choice). False with the reason in `error`.
    bool open(uint16_t socket, std::string &error);
    void close();

    int fd() const { return fd_; }
    // The address the provider bound: this host's network and node.
    const sap::Address &address() const { return bound_; }

    // Sends one datagram as an IPX packet of `packet_type` (SAP uses 4).
    // False with the reason in `error`.
    bool send(const sap::Address &to, const sap::Bytes &data, std::string &error,
              uint8_t packet_type = 0);

    enum class Got { datagram, nothing, dropped, failed };
    // Takes one datagram if there is one: `datagram` with `from` and `data`
    // set; `nothing` when none is waiting; `dropped` when one arrived that
    // could not be taken whole (too long, odd address) or a datagram error
    // was cleared, with the reason in `error`; `failed` when the endpoint
    // is broken.
    Got receive(sap::Address &from, sap::Bytes &data, std::string &error);
    // The IPX packet type of the last datagram received, when the provider
    // reported it (its first option byte); else -1.
    int last_packet_type() const { return last_type_; }

private:
    int fd_ = -1;
    sap::Address bound_;
    int last_type_ = -1;
};

// "t_bind: system error (errno text)"-style text for the current t_errno.
std::string tli_error(const char *op);

} // namespace ombrad

#endif
