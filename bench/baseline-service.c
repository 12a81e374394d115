// SPDX-License-Identifier: GPL-3.0-or-later
//
// The floor the agent is measured against: the leanest service on the same bus that answers the
// agent's methods under the same name, path and interface. Each method writes the bytes to one
// fixed file and sends an empty reply; nothing is logged.
//
//   kvo-bench-baseline OUTPUT_DIRECTORY
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

static const char serviceName[] = "com.corvid.serviceandsupport";
static const char objectPath[] = "/com/corvid/serviceandsupport/agent";
static const char interfaceName[] = "com.corvid.serviceandsupport.agent";

static int outputDir = -1;

static void writeFile(const char *name, const void *data, size_t size)
{
    const int fd = openat(outputDir, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char *p = data;
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        size -= (size_t)n;
    }
    close(fd);
}

// One handler for the whole object: an sd-bus vtable cannot carry two signatures of one method
// name, and downloadQRCode has two.
static int onMessage(sd_bus_message *m, void *userdata, sd_bus_error *error)
{
    (void)userdata;
    (void)error;
    const void *data = NULL;
    size_t size = 0;
    const char *file = NULL;
    int r;
    if (sd_bus_message_is_method_call(m, interfaceName, "updateCustomFile")
        && sd_bus_message_has_signature(m, "ay")) {
        r = sd_bus_message_read_array(m, 'y', &data, &size);
        file = "customer.json";
    } else if (sd_bus_message_is_method_call(m, interfaceName, "updateDeviceTreeFile")
               && sd_bus_message_has_signature(m, "ay")) {
        r = sd_bus_message_read_array(m, 'y', &data, &size);
        file = "kvo-devicetree.json";
    } else if (sd_bus_message_is_method_call(m, interfaceName, "downloadQRCode")
               && (sd_bus_message_has_signature(m, "ssayb") || sd_bus_message_has_signature(m, "ssay"))) {
        const char *type = NULL;
        const char *name = NULL;
        r = sd_bus_message_read(m, "ss", &type, &name);
        if (r >= 0)
            r = sd_bus_message_read_array(m, 'y', &data, &size);
        file = "qrcode.png";
    } else {
        return 0;
    }
    if (r < 0)
        return r;
    writeFile(file, data, size);
    return sd_bus_reply_method_return(m, NULL);
}

int main(int argc, char *argv[])
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    outputDir = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (outputDir < 0) {
        fprintf(stderr, "%s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    sd_bus *bus = NULL;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        fprintf(stderr, "no system bus: %s\n", strerror(-r));
        return 1;
    }
    r = sd_bus_add_object(bus, NULL, objectPath, onMessage, NULL);
    if (r >= 0)
        r = sd_bus_request_name(bus, serviceName, 0);
    if (r < 0) {
        fprintf(stderr, "cannot serve %s: %s\n", serviceName, strerror(-r));
        return 2;
    }
    // Ended by a signal, like the agent.
    for (;;) {
        r = sd_bus_process(bus, NULL);
        if (r < 0)
            break;
        if (r > 0)
            continue;
        r = sd_bus_wait(bus, UINT64_MAX);
        if (r < 0 && r != -EINTR)
            break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
