// TAbstractSocket: what the server and client components share: the Active
// flag, the address properties and the loading phase, and the relay from a
// connection object's callbacks to the component's HandleEvent/HandleError.
//
// Active follows the connection object's events (true at connect or listen,
// false at disconnect); setting it only starts or stops the work. Address,
// Host, Port and Service cannot change while Active. Loop thread only.
#pragma once

#include "net/SocketTypes.h"

#include "base/Object.h"

#include <string>

class TAbstractSocket : public TObject {
public:
    TObject* Owner() const { return owner_; }

    bool Active() const { return active_; }
    void SetActive(bool value);
    int Port() const { return port_; }
    void SetPort(int value);
    const std::string& Address() const { return address_; }
    void SetAddress(const std::string& value);
    const std::string& Host() const { return host_; }
    void SetHost(const std::string& value);
    const std::string& Service() const { return service_; }
    void SetService(const std::string& value);

    // Between BeginLoad and AfterLoad the setters take the component's
    // initial values: Active is only stored, and AfterLoad then applies it.
    bool Loading() const { return loading_; }
    void BeginLoad() { loading_ = true; }
    void AfterLoad();

    // The targets of the connection object's EventSink and ErrorSink.
    void RelayEvent(TCustomWinSocket* sender, TCustomWinSocket* socket, TSocketEventKind kind);
    void RelayError(TCustomWinSocket* sender, TCustomWinSocket* socket, TErrorEvent kind, int& code);

protected:
    explicit TAbstractSocket(TObject* owner) : owner_(owner) {}

    virtual void HandleEvent(TCustomWinSocket* socket, TSocketEventKind kind) = 0;
    virtual void HandleError(TCustomWinSocket* socket, TErrorEvent kind, int& code) = 0;
    virtual void ApplyActive(bool value) = 0;

    // Points the connection object's callbacks at this component.
    void AttachConnection(TCustomWinSocket& socket);
    void SetActiveFlag(bool value) { active_ = value; }

private:
    void SetText(std::string& field, const std::string& value);
    void CheckInactive() const;

    TObject* owner_;
    bool loading_ = false;
    bool active_ = false;
    int port_ = 0;
    std::string address_;
    std::string host_;
    std::string service_;
};
