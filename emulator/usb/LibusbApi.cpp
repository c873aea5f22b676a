// The libusb-1.0 API over the emulated bus: what libftdi1 and the programs
// built on it call. Loaded in place of the system's libusb, so every entry
// point a client may reach is here; calls about anything that is not the
// emulated FT2232H fail the way libusb fails them.

#include "emulator/VirtualClock.h"
#include "emulator/usb/EmulatedUsbBus.h"
#include "emulator/usb/UsbFt2232h.h"

#include <libusb.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

using emu::EmulatedUsbBus;
using emu::UsbFt2232h;

struct libusb_context
{
    std::vector<libusb_device*> devices; // each FT2232H of the bus as this context knows it, by its place
    std::deque<libusb_transfer*> submitted;
};

struct libusb_device
{
    libusb_context* context = nullptr;
    int references = 1;
    size_t index = 0; // its place on the bus
};

struct libusb_device_handle
{
    libusb_device* device = nullptr;
    unsigned claimed = 0; // bit per interface
};

namespace {

// Everything handed out, so that a pointer we never made is refused
// instead of followed. Guarded by the bus's lock.
struct Registry
{
    std::set<libusb_context*> contexts;
    std::set<libusb_device*> devices;
    std::set<libusb_device_handle*> handles;
    std::set<libusb_transfer*> pending;
    libusb_context* defaultContext = nullptr;
};

Registry& registry()
{
    static Registry* r = new Registry();
    return *r;
}

EmulatedUsbBus& bus()
{
    return EmulatedUsbBus::instance();
}

void reportAtExit()
{
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit([] { EmulatedUsbBus::instance().writeReport(); });
    }
}

libusb_context* contextOf(libusb_context* ctx)
{
    Registry& r = registry();
    if (!ctx) {
        if (!r.defaultContext) {
            r.defaultContext = new libusb_context();
            r.contexts.insert(r.defaultContext);
        }
        return r.defaultContext;
    }
    return r.contexts.count(ctx) ? ctx : nullptr;
}

bool known(libusb_device* dev)
{
    return dev && registry().devices.count(dev) != 0;
}

bool known(libusb_device_handle* handle)
{
    return handle && registry().handles.count(handle) != 0;
}

void unrefLocked(libusb_device* dev)
{
    if (!known(dev) || --dev->references > 0)
        return;
    if (dev->context && dev->index < dev->context->devices.size() && dev->context->devices[dev->index] == dev)
        dev->context->devices[dev->index] = nullptr;
    registry().devices.erase(dev);
    delete dev;
}

struct ConfigBlock
{
    libusb_config_descriptor config;
    libusb_interface interfaces[2];
    libusb_interface_descriptor settings[2];
    libusb_endpoint_descriptor endpoints[2][2];
};

libusb_config_descriptor* newConfigDescriptor()
{
    auto* block = new (std::nothrow) ConfigBlock();
    if (!block)
        return nullptr;
    const std::vector<uint8_t> raw = UsbFt2232h::configDescriptor();
    libusb_config_descriptor& c = block->config;
    c.bLength = raw[0];
    c.bDescriptorType = raw[1];
    c.wTotalLength = static_cast<uint16_t>(raw[2] | raw[3] << 8);
    c.bNumInterfaces = raw[4];
    c.bConfigurationValue = raw[5];
    c.iConfiguration = raw[6];
    c.bmAttributes = raw[7];
    c.MaxPower = raw[8];
    c.interface = block->interfaces;
    size_t at = LIBUSB_DT_CONFIG_SIZE;
    for (unsigned i = 0; i < 2; ++i) {
        libusb_interface_descriptor& s = block->settings[i];
        s.bLength = raw[at];
        s.bDescriptorType = raw[at + 1];
        s.bInterfaceNumber = raw[at + 2];
        s.bAlternateSetting = raw[at + 3];
        s.bNumEndpoints = raw[at + 4];
        s.bInterfaceClass = raw[at + 5];
        s.bInterfaceSubClass = raw[at + 6];
        s.bInterfaceProtocol = raw[at + 7];
        s.iInterface = raw[at + 8];
        s.endpoint = block->endpoints[i];
        at += LIBUSB_DT_INTERFACE_SIZE;
        for (unsigned e = 0; e < 2; ++e) {
            libusb_endpoint_descriptor& ep = block->endpoints[i][e];
            ep.bLength = raw[at];
            ep.bDescriptorType = raw[at + 1];
            ep.bEndpointAddress = raw[at + 2];
            ep.bmAttributes = raw[at + 3];
            ep.wMaxPacketSize = static_cast<uint16_t>(raw[at + 4] | raw[at + 5] << 8);
            ep.bInterval = raw[at + 6];
            at += LIBUSB_DT_ENDPOINT_SIZE;
        }
        block->interfaces[i].altsetting = &s;
        block->interfaces[i].num_altsetting = 1;
    }
    return &block->config;
}

// One control transfer on a device, counted and subject to its fault plan.
int controlLocked(size_t device, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  unsigned char* data, uint16_t length)
{
    EmulatedUsbBus& b = bus();
    const int refused = b.beginTransfer(device, EmulatedUsbBus::Transfer::Control);
    if (refused != 0)
        return refused;
    return b.device(device).control(requestType, request, value, index, data, length);
}

// One bulk transfer; `transferred` is what moved.
int bulkLocked(size_t device, unsigned char endpoint, unsigned char* data, int length, int& transferred,
               unsigned timeoutMs)
{
    transferred = 0;
    if (length < 0 || (!data && length > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    EmulatedUsbBus& b = bus();
    bool in = false;
    if (UsbFt2232h::channelOfEndpoint(endpoint, in) < 0)
        return LIBUSB_ERROR_NOT_FOUND; // no such endpoint on this device
    const int refused =
        b.beginTransfer(device, in ? EmulatedUsbBus::Transfer::BulkIn : EmulatedUsbBus::Transfer::BulkOut);
    if (refused == LIBUSB_ERROR_TIMEOUT)
        EmulatedUsbBus::clock().advanceNanoseconds(uint64_t(timeoutMs ? timeoutMs : 1000) * 1000000);
    if (refused != 0)
        return refused;
    const int result = in ? b.device(device).bulkIn(endpoint, data, static_cast<size_t>(length), timeoutMs)
                          : b.device(device).bulkOut(endpoint, data, static_cast<size_t>(length));
    if (result < 0)
        return result;
    transferred = result;
    b.addBytes(device, in ? 0 : uint64_t(result), in ? uint64_t(result) : 0);
    return 0;
}

libusb_transfer_status statusOf(int error)
{
    switch (error) {
    case 0:
        return LIBUSB_TRANSFER_COMPLETED;
    case LIBUSB_ERROR_TIMEOUT:
        return LIBUSB_TRANSFER_TIMED_OUT;
    case LIBUSB_ERROR_NO_DEVICE:
        return LIBUSB_TRANSFER_NO_DEVICE;
    case LIBUSB_ERROR_PIPE:
        return LIBUSB_TRANSFER_STALL;
    case LIBUSB_ERROR_OVERFLOW:
        return LIBUSB_TRANSFER_OVERFLOW;
    default:
        return LIBUSB_TRANSFER_ERROR;
    }
}

// Carries out one submitted transfer; the caller then runs its callback.
void runLocked(libusb_transfer* t)
{
    int error = 0;
    t->actual_length = 0;
    if (!known(t->dev_handle)) {
        error = LIBUSB_ERROR_NO_DEVICE;
    } else if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        auto* setup = reinterpret_cast<libusb_control_setup*>(t->buffer);
        const uint16_t length = libusb_le16_to_cpu(setup->wLength);
        const int result = controlLocked(t->dev_handle->device->index, setup->bmRequestType, setup->bRequest,
                                         libusb_le16_to_cpu(setup->wValue),
                                         libusb_le16_to_cpu(setup->wIndex), t->buffer + LIBUSB_CONTROL_SETUP_SIZE,
                                         length);
        if (result < 0)
            error = result;
        else
            t->actual_length = result;
    } else if (t->type == LIBUSB_TRANSFER_TYPE_BULK || t->type == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
        int moved = 0;
        error = bulkLocked(t->dev_handle->device->index, t->endpoint, t->buffer, t->length, moved, t->timeout);
        t->actual_length = moved;
    } else {
        error = LIBUSB_ERROR_NOT_SUPPORTED;
    }
    t->status = statusOf(error);
    if (t->status == LIBUSB_TRANSFER_COMPLETED && (t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) &&
        t->actual_length < t->length - (t->type == LIBUSB_TRANSFER_TYPE_CONTROL ? int(LIBUSB_CONTROL_SETUP_SIZE) : 0))
        t->status = LIBUSB_TRANSFER_ERROR;
}

void finish(libusb_transfer* t)
{
    const bool freeIt = (t->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
    if (t->callback)
        t->callback(t);
    if (freeIt)
        libusb_free_transfer(t);
}

// Each error code with libusb's own name and message for it.
struct ErrorText
{
    int code;
    const char* name;
    const char* message;
};

const ErrorText kErrorTexts[] = {
    {LIBUSB_SUCCESS, "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED", "Success"},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO", "Input/Output Error"},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter"},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)"},
    {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE", "No such device (it may have been disconnected)"},
    {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND", "Entity not found"},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY", "Resource busy"},
    {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT", "Operation timed out"},
    {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW", "Overflow"},
    {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE", "Pipe error"},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED", "System call interrupted (perhaps due to signal)"},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM", "Insufficient memory"},
    {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED",
     "Operation not supported or unimplemented on this platform"},
    {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER", "Other error"},
};

const ErrorText* errorText(int code)
{
    for (const ErrorText& text : kErrorTexts)
        if (text.code == code)
            return &text;
    return nullptr;
}

} // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx)
{
    auto lock = bus().lock();
    reportAtExit();
    if (!ctx) {
        contextOf(nullptr);
        return LIBUSB_SUCCESS;
    }
    auto* context = new (std::nothrow) libusb_context();
    if (!context)
        return LIBUSB_ERROR_NO_MEM;
    registry().contexts.insert(context);
    *ctx = context;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx)
{
    auto lock = bus().lock();
    Registry& r = registry();
    libusb_context* context = ctx ? ctx : r.defaultContext;
    if (!context || !r.contexts.count(context))
        return;
    for (libusb_device* device : context->devices)
        if (device)
            device->context = nullptr; // devices still referenced outlive it
    r.contexts.erase(context);
    if (context == r.defaultContext)
        r.defaultContext = nullptr;
    delete context;
    bus().writeReport();
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...)
{
    return LIBUSB_SUCCESS;
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void)
{
    static const libusb_version version = {1, 0, 26, 0, "", "https://libusb.info"};
    return &version;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

int LIBUSB_CALL libusb_setlocale(const char*)
{
    return LIBUSB_SUCCESS;
}

const char* LIBUSB_CALL libusb_error_name(int code)
{
    const ErrorText* text = errorText(code);
    return text ? text->name : "**UNKNOWN**";
}

const char* LIBUSB_CALL libusb_strerror(int code)
{
    const ErrorText* text = errorText(code);
    return text ? text->message : "Other error";
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list)
{
    auto lock = bus().lock();
    libusb_context* context = contextOf(ctx);
    if (!context || !list)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (bus().enumerationFails())
        return LIBUSB_ERROR_IO;
    const size_t count = bus().deviceCount();
    auto** out = static_cast<libusb_device**>(std::calloc(count + 1, sizeof(libusb_device*)));
    if (!out)
        return LIBUSB_ERROR_NO_MEM;
    context->devices.resize(count, nullptr);
    ssize_t listed = 0;
    for (size_t index = 0; index < count; ++index) {
        if (!bus().present(index))
            continue;
        libusb_device*& device = context->devices[index];
        if (!device) {
            device = new libusb_device();
            device->context = context;
            device->references = 0;
            device->index = index;
            registry().devices.insert(device);
        }
        ++device->references;
        out[listed++] = device;
    }
    *list = out;
    return listed;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices)
{
    if (!list)
        return;
    auto lock = bus().lock();
    if (unrefDevices)
        for (libusb_device** d = list; *d; ++d)
            unrefLocked(*d);
    std::free(list);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev)
{
    auto lock = bus().lock();
    if (known(dev))
        ++dev->references;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev)
{
    auto lock = bus().lock();
    unrefLocked(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc)
{
    auto lock = bus().lock();
    if (!known(dev) || !desc)
        return LIBUSB_ERROR_INVALID_PARAM;
    const std::vector<uint8_t> raw = UsbFt2232h::deviceDescriptor();
    desc->bLength = raw[0];
    desc->bDescriptorType = raw[1];
    desc->bcdUSB = static_cast<uint16_t>(raw[2] | raw[3] << 8);
    desc->bDeviceClass = raw[4];
    desc->bDeviceSubClass = raw[5];
    desc->bDeviceProtocol = raw[6];
    desc->bMaxPacketSize0 = raw[7];
    desc->idVendor = static_cast<uint16_t>(raw[8] | raw[9] << 8);
    desc->idProduct = static_cast<uint16_t>(raw[10] | raw[11] << 8);
    desc->bcdDevice = static_cast<uint16_t>(raw[12] | raw[13] << 8);
    desc->iManufacturer = raw[14];
    desc->iProduct = raw[15];
    desc->iSerialNumber = raw[16];
    desc->bNumConfigurations = raw[17];
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index, struct libusb_config_descriptor** config)
{
    auto lock = bus().lock();
    if (!known(dev) || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    *config = newConfigDescriptor();
    return *config ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_MEM;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config)
{
    return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                      struct libusb_config_descriptor** config)
{
    return value == 1 ? libusb_get_config_descriptor(dev, 0, config) : LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config)
{
    // The descriptor is the first member of the block it was made in.
    delete reinterpret_cast<ConfigBlock*>(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*)
{
    return UsbFt2232h::kBus;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev)
{
    auto lock = bus().lock();
    return known(dev) && dev->index < bus().deviceCount() ? bus().device(dev->index).address() : 0;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev)
{
    auto lock = bus().lock();
    return known(dev) && dev->index < bus().deviceCount() ? bus().device(dev->index).portPath().back() : 0;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int length)
{
    auto lock = bus().lock();
    if (!known(dev) || !ports || length < 0 || dev->index >= bus().deviceCount())
        return LIBUSB_ERROR_INVALID_PARAM;
    const std::vector<uint8_t>& path = bus().device(dev->index).portPath();
    if (static_cast<size_t>(length) < path.size())
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(path.begin(), path.end(), ports);
    return static_cast<int>(path.size());
}

int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* dev, uint8_t* path, uint8_t length)
{
    return libusb_get_port_numbers(dev, path, length);
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*)
{
    return nullptr; // hubs are not listed
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev)
{
    auto lock = bus().lock();
    return known(dev) ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_UNKNOWN;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint)
{
    auto lock = bus().lock();
    bool in = false;
    if (!known(dev))
        return LIBUSB_ERROR_INVALID_PARAM;
    return UsbFt2232h::channelOfEndpoint(endpoint, in) < 0 ? LIBUSB_ERROR_NOT_FOUND : int(UsbFt2232h::kMaxPacket);
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint)
{
    return libusb_get_max_packet_size(dev, endpoint);
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle)
{
    auto lock = bus().lock();
    if (!known(dev) || !handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!bus().present(dev->index))
        return LIBUSB_ERROR_NO_DEVICE;
    auto* h = new (std::nothrow) libusb_device_handle();
    if (!h)
        return LIBUSB_ERROR_NO_MEM;
    h->device = dev;
    ++dev->references;
    registry().handles.insert(h);
    *handle = h;
    return LIBUSB_SUCCESS;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendorId,
                                                                  uint16_t productId)
{
    if (vendorId != UsbFt2232h::kVendorId || productId != UsbFt2232h::kProductId)
        return nullptr;
    libusb_device** list = nullptr;
    if (libusb_get_device_list(ctx, &list) <= 0) {
        libusb_free_device_list(list, 1);
        return nullptr;
    }
    libusb_device_handle* handle = nullptr;
    if (libusb_open(list[0], &handle) != LIBUSB_SUCCESS)
        handle = nullptr;
    libusb_free_device_list(list, 1);
    return handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle)
{
    auto lock = bus().lock();
    if (!known(handle))
        return;
    registry().handles.erase(handle);
    unrefLocked(handle->device);
    delete handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle)
{
    auto lock = bus().lock();
    return known(handle) ? handle->device : nullptr;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* config)
{
    auto lock = bus().lock();
    if (!known(handle) || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!bus().present(handle->device->index))
        return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration)
{
    auto lock = bus().lock();
    if (!known(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (configuration != 1 && configuration != -1 && configuration != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    const int result = controlLocked(handle->device->index, LIBUSB_ENDPOINT_OUT, LIBUSB_REQUEST_SET_CONFIGURATION,
                                     static_cast<uint16_t>(configuration < 0 ? 0 : configuration), 0, nullptr, 0);
    return result < 0 ? result : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface)
{
    auto lock = bus().lock();
    if (!known(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!bus().present(handle->device->index))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface < 0 || interface > 1)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed |= 1u << interface;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface)
{
    auto lock = bus().lock();
    if (!known(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (interface < 0 || interface > 1 || !(handle->claimed & (1u << interface)))
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed &= ~(1u << interface);
    return bus().present(handle->device->index) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface, int alternate)
{
    auto lock = bus().lock();
    if (!known(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!bus().present(handle->device->index))
        return LIBUSB_ERROR_NO_DEVICE;
    return interface >= 0 && interface <= 1 && alternate == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint)
{
    auto lock = bus().lock();
    bool in = false;
    if (!known(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!bus().present(handle->device->index))
        return LIBUSB_ERROR_NO_DEVICE;
    return UsbFt2232h::channelOfEndpoint(endpoint, in) < 0 ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle)
{
    auto lock = bus().lock();
    if (!known(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    return bus().present(handle->device->index) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

// No kernel driver is ever bound to the emulated device: nothing to detach.
int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int)
{
    auto lock = bus().lock();
    if (!known(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    return bus().present(handle->device->index) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int)
{
    auto lock = bus().lock();
    if (!known(handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    return bus().present(handle->device->index) ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int interface)
{
    return libusb_detach_kernel_driver(handle, interface);
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int)
{
    auto lock = bus().lock();
    return known(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                                   int length)
{
    auto lock = bus().lock();
    if (!known(handle) || !data || length < 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (index == 0)
        return LIBUSB_ERROR_INVALID_PARAM; // as libusb: index 0 is the language list
    if (length == 0)
        return 0;
    unsigned char raw[255];
    const int got = controlLocked(handle->device->index, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                  static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | index), 0x0409, raw, sizeof raw);
    if (got < 0)
        return got;
    if (got < 2 || raw[1] != LIBUSB_DT_STRING || raw[0] > got)
        return LIBUSB_ERROR_IO;
    int n = 0;
    for (int i = 2; i + 1 < raw[0] && n < length - 1; i += 2)
        data[n++] = raw[i + 1] ? '?' : raw[i];
    data[n] = 0;
    return n;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int)
{
    auto lock = bus().lock();
    if (!known(handle) || (!data && length > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    return controlLocked(handle->device->index, requestType, request, value, index, data, length);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int timeout)
{
    auto lock = bus().lock();
    int moved = 0;
    const int result =
        known(handle) ? bulkLocked(handle->device->index, endpoint, data, length, moved, timeout) : LIBUSB_ERROR_INVALID_PARAM;
    if (transferred)
        *transferred = moved;
    return result;
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                          int length, int* transferred, unsigned int timeout)
{
    // The FT2232H has no interrupt endpoints: the bulk ones answer, any other is not found.
    return libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
}

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets)
{
    if (isoPackets < 0)
        return nullptr;
    const size_t size = sizeof(libusb_transfer) + size_t(isoPackets) * sizeof(libusb_iso_packet_descriptor);
    auto* t = static_cast<libusb_transfer*>(std::calloc(1, size));
    if (t)
        t->num_iso_packets = isoPackets;
    return t;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer)
{
    if (!transfer)
        return;
    {
        auto lock = bus().lock();
        registry().pending.erase(transfer);
        for (libusb_context* context : registry().contexts) {
            auto& queue = context->submitted;
            queue.erase(std::remove(queue.begin(), queue.end(), transfer), queue.end());
        }
    }
    if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER)
        std::free(transfer->buffer);
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* transfer)
{
    auto lock = bus().lock();
    if (!transfer || !known(transfer->dev_handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (registry().pending.count(transfer))
        return LIBUSB_ERROR_BUSY;
    if (!bus().present(transfer->dev_handle->device->index))
        return LIBUSB_ERROR_NO_DEVICE;
    libusb_context* context = transfer->dev_handle->device->context;
    if (!context)
        return LIBUSB_ERROR_NO_DEVICE;
    registry().pending.insert(transfer);
    context->submitted.push_back(transfer);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* transfer)
{
    auto lock = bus().lock();
    if (!transfer || !registry().pending.count(transfer))
        return LIBUSB_ERROR_NOT_FOUND;
    // Completed as cancelled by the next event handling.
    transfer->status = LIBUSB_TRANSFER_CANCELLED;
    registry().pending.erase(transfer);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed)
{
    std::deque<libusb_transfer*> batch;
    std::vector<bool> cancelled;
    {
        auto lock = bus().lock();
        libusb_context* context = contextOf(ctx);
        if (!context)
            return LIBUSB_ERROR_INVALID_PARAM;
        if (completed && *completed)
            return LIBUSB_SUCCESS;
        batch.swap(context->submitted);
        if (batch.empty()) {
            // Nothing in flight: the wait simply passes.
            const uint64_t waitNs = tv ? uint64_t(tv->tv_sec) * 1000000000ull + uint64_t(tv->tv_usec) * 1000ull
                                       : 1000000ull;
            EmulatedUsbBus::clock().advanceNanoseconds(waitNs);
            return LIBUSB_SUCCESS;
        }
    }
    for (libusb_transfer* t : batch) {
        {
            auto lock = bus().lock();
            if (registry().pending.erase(t))
                runLocked(t);
            else
                t->actual_length = 0; // cancelled before it ran
        }
        finish(t);
    }
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx)
{
    timeval tv = {60, 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed)
{
    timeval tv = {60, 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, completed);
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context*, int, int, int, int, int,
                                                 libusb_hotplug_callback_fn, void*, libusb_hotplug_callback_handle*)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context*, libusb_hotplug_callback_handle) {}

int LIBUSB_CALL libusb_wrap_sys_device(libusb_context*, intptr_t, libusb_device_handle**)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

const struct libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context*)
{
    return static_cast<const libusb_pollfd**>(std::calloc(1, sizeof(libusb_pollfd*)));
}

void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd** pollfds)
{
    std::free(const_cast<libusb_pollfd**>(pollfds));
}

} // extern "C"

// For tests that load the stand-in: rebuild the bus with other options, and
// read its counts. Looked up with dlsym, so nothing links against them.
extern "C" {

int pravel_usb_configure(const char* chip, const char* image, const char* faults, const char* timing, char* error,
                         size_t errorSize)
{
    const auto text = [](const char* value) { return std::string(value ? value : ""); };
    const emu::BenchConfig::Settings settings = {
        {"chip", text(chip)}, {"image", text(image)}, {"faults", text(faults)}, {"timing", text(timing)}};
    emu::BenchConfig bench;
    std::string why;
    bool ok = emu::BenchConfig::parse(emu::BenchConfig::options(settings), emu::BenchConfig::Face::Usb, bench, why);
    if (ok) {
        auto lock = bus().lock();
        ok = bus().configure(bench, why);
    }
    if (!ok && error && errorSize > 0) {
        std::strncpy(error, why.c_str(), errorSize - 1);
        error[errorSize - 1] = '\0';
    }
    return ok ? 0 : -1;
}

// emulated ns since the last configure, bulk out, bulk in, bytes out, bytes in, control requests
void pravel_usb_counts(uint64_t values[6])
{
    auto lock = bus().lock();
    const emu::UsbCounts c = bus().counts();
    const uint64_t all[6] = {c.emulatedNs, c.bulkOut, c.bulkIn, c.bytesOut, c.bytesIn, c.control};
    std::copy(std::begin(all), std::end(all), values);
}

uint64_t pravel_usb_now_ns(void)
{
    return EmulatedUsbBus::clock().nowNanoseconds();
}

} // extern "C"
