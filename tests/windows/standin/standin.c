/*
 * standin.sys: stands in for the firmware-update driver and the device's
 * audio driver, so the link's Windows driver meets a kernel driver under
 * wine. Tests only; never installed by the package.
 *
 * A root-enumerated bus device with a control interface. IOCTL_STANDIN_PLUG
 * creates a child device whose ids read like a USB device's
 * (USB\VID_5E1A&PID_F072&MI_00), so its interface path has the shape the
 * system gives the real ones; the child publishes the interface class of its
 * channel only. Each request on a child is checked as the real driver checks
 * it (StandinRecords.c) and then handed over the named pipe to the user-mode
 * server, which runs the simulated chip. A reply that says the device has
 * gone drops the child from the bus, as an unplug does.
 */
#include <ntddk.h>

#include "StandinProtocol.h"
#include "StandinRecords.h"

static const GUID kGuidUsb = STANDIN_GUID_USB_INIT;
static const GUID kGuidAudio = STANDIN_GUID_AUDIO_INIT;
static const GUID kGuidControl = STANDIN_GUID_CONTROL_INIT;

#define STANDIN_TAG 0x6e697453u /* "Stin" */

enum kind { KIND_BUS, KIND_CHILD };

struct ext {
  enum kind kind;
  DEVICE_OBJECT *self, *lower, *pdo;
  UNICODE_STRING link; /* the one interface this device publishes */
  BOOLEAN link_on, removed;
  /* children only */
  struct standin_plug plug;
  int slot;
  volatile LONG gone; /* the server said the device has gone */
};

static DRIVER_OBJECT* g_driver;
static DEVICE_OBJECT* g_bus;
static FAST_MUTEX g_lock;
static DEVICE_OBJECT* g_children[STANDIN_MAX_CHILDREN]; /* reported in BusRelations */
static HANDLE g_pipe;
static WCHAR g_pipe_name[128];
static struct standin_counts g_counts;

static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR info) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = info;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* ---- ids of a child, written without a C runtime ---- */
static WCHAR* put_str(WCHAR* p, const char* s) {
  while (*s) *p++ = (WCHAR)*s++;
  *p = 0;
  return p;
}
static WCHAR* put_hex(WCHAR* p, unsigned int v, int digits) {
  static const char hex[] = "0123456789ABCDEF";
  int i;
  for (i = digits - 1; i >= 0; i--) p[i] = hex[v & 15], v >>= 4;
  p += digits;
  *p = 0;
  return p;
}
static WCHAR* put_usb_id(WCHAR* p, const struct standin_plug* pl, BOOLEAN with_rev) {
  p = put_str(p, "USB\\VID_");
  p = put_hex(p, pl->vid, 4);
  p = put_str(p, "&PID_");
  p = put_hex(p, pl->pid, 4);
  if (with_rev) p = put_str(p, "&REV_0100");
  if (pl->interface_number != 0xffffffffu) {
    p = put_str(p, "&MI_");
    p = put_hex(p, pl->interface_number, 2);
  }
  return p;
}
static WCHAR* alloc_id(SIZE_T chars) {
  WCHAR* id = ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), STANDIN_TAG);
  if (id) RtlZeroMemory(id, chars * sizeof(WCHAR));
  return id;
}

static void set_link(struct ext* e, BOOLEAN on) {
  NTSTATUS st = 0;
  if (e->link_on == on || !e->link.Buffer) return;
  st = IoSetDeviceInterfaceState(&e->link, on);
  e->link_on = on;
  DbgPrint("standin: %s %.*ls: %#lx\n", on ? "enabled" : "disabled", e->link.Length / 2,
           e->link.Buffer, (long)st);
}

/* Takes a child off the bus; the PnP manager then removes it. False when it
 * is no longer on the bus. */
static BOOLEAN drop_child(DEVICE_OBJECT* child) {
  BOOLEAN dropped = FALSE;
  int i;
  ExAcquireFastMutex(&g_lock);
  for (i = 0; i < STANDIN_MAX_CHILDREN; i++) {
    if (g_children[i] != child) continue;
    g_children[i] = NULL;
    dropped = TRUE;
  }
  ExReleaseFastMutex(&g_lock);
  if (!dropped || !g_bus) return dropped;
  DbgPrint("standin: child %d dropped\n", ((struct ext*)child->DeviceExtension)->slot);
  IoInvalidateDeviceRelations(((struct ext*)g_bus->DeviceExtension)->pdo, BusRelations);
  return TRUE;
}

/* ---- requests on a child ---- */

/* One round trip to the server: the request with the record and the
 * caller's data block, then the reply. */
static NTSTATUS ask_server(struct ext* e, ULONG code, const UCHAR* in, ULONG in_len, UCHAR* out,
                           ULONG out_len, ULONG_PTR* info) {
  IO_STATUS_BLOCK io;
  struct standin_pipe_request* req;
  struct standin_pipe_reply* reply;
  ULONG req_size = sizeof(*req) + in_len + out_len, reply_size = sizeof(*reply) + out_len;
  NTSTATUS st;

  if (!g_pipe) return STATUS_DEVICE_NOT_CONNECTED;
  req = ExAllocatePoolWithTag(PagedPool, req_size, STANDIN_TAG);
  reply = ExAllocatePoolWithTag(PagedPool, reply_size, STANDIN_TAG);
  if (!req || !reply) {
    st = STATUS_NO_MEMORY;
    goto done;
  }
  req->slot = e->slot;
  req->code = code;
  req->in_len = in_len;
  req->out_len = out_len;
  if (in_len) RtlCopyMemory(req + 1, in, in_len);
  if (out_len) RtlCopyMemory((UCHAR*)(req + 1) + in_len, out, out_len);
  ++g_counts.forwarded;
  st = ZwWriteFile(g_pipe, NULL, NULL, NULL, &io, req, req_size, NULL, NULL);
  if (!st) st = ZwReadFile(g_pipe, NULL, NULL, NULL, &io, reply, reply_size, NULL, NULL);
  if (st || io.Information < sizeof(*reply) || reply->out_len > out_len ||
      io.Information != sizeof(*reply) + reply->out_len) {
    DbgPrint("standin: the server did not answer (%#lx); the device is gone\n", (long)st);
    ++g_counts.pipe_failures;
    st = STATUS_DEVICE_NOT_CONNECTED;
    InterlockedExchange(&e->gone, 1);
    goto done;
  }
  if (reply->out_len) RtlCopyMemory(out, reply + 1, reply->out_len);
  *info = reply->out_len;
  st = (NTSTATUS)reply->status;
  if (reply->flags & STANDIN_REPLY_DEVICE_GONE) InterlockedExchange(&e->gone, 1);
done:
  if (req) ExFreePoolWithTag(req, STANDIN_TAG);
  if (reply) ExFreePoolWithTag(reply, STANDIN_TAG);
  return st;
}

static NTSTATUS child_request(struct ext* e, IRP* irp, IO_STACK_LOCATION* sp) {
  ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR *in, *out = NULL;
  ULONG_PTR info = 0;
  const char* refused;
  NTSTATUS st;

  if (e->removed || e->gone) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  /* Where the system puts the buffers depends on the code's method. */
  switch (code & 3) {
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      in = irp->AssociatedIrp.SystemBuffer;
      if (out_len && irp->MdlAddress)
        out = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
      break;
    case METHOD_NEITHER:
      in = sp->Parameters.DeviceIoControl.Type3InputBuffer;
      out = irp->UserBuffer;
      break;
    default:
      in = irp->AssociatedIrp.SystemBuffer;
      out = irp->AssociatedIrp.SystemBuffer;
      break;
  }
  ++g_counts.requests;
  refused = standin_check_request(e->plug.channel, code, in, in_len, out, out_len);
  if (refused) {
    ++g_counts.malformed;
    DbgPrint("standin: child %d refused ioctl %#lx (in %lu, out %lu): %s\n", e->slot,
             (unsigned long)code, (unsigned long)in_len, (unsigned long)out_len, refused);
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  st = ask_server(e, code, in, in_len, out, out_len, &info);
  if (e->gone) drop_child(e->self);
  return complete(irp, st, NT_SUCCESS(st) ? info : 0);
}

/* ---- requests on the bus device's control interface ---- */

static NTSTATUS plug_child(const struct standin_plug* pl, ULONG* slot_out) {
  DEVICE_OBJECT* pdo;
  struct ext* ce;
  NTSTATUS st;
  int i;

  if (pl->channel > STANDIN_CHANNEL_AUDIO) return STATUS_INVALID_PARAMETER;
  ExAcquireFastMutex(&g_lock);
  for (i = 0; i < STANDIN_MAX_CHILDREN && g_children[i]; i++) {
  }
  if (i == STANDIN_MAX_CHILDREN) {
    ExReleaseFastMutex(&g_lock);
    return STATUS_TOO_MANY_NODES;
  }
  st = IoCreateDevice(g_driver, sizeof(struct ext), NULL, FILE_DEVICE_UNKNOWN,
                      FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  if (st) {
    ExReleaseFastMutex(&g_lock);
    return st;
  }
  ce = pdo->DeviceExtension;
  RtlZeroMemory(ce, sizeof(*ce));
  ce->kind = KIND_CHILD;
  ce->self = pdo;
  ce->plug = *pl;
  ce->slot = i;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  g_children[i] = pdo;
  ExReleaseFastMutex(&g_lock);
  DbgPrint("standin: plug slot %d vid %04x pid %04x channel %u\n", i, pl->vid, pl->pid, pl->channel);
  IoInvalidateDeviceRelations(((struct ext*)g_bus->DeviceExtension)->pdo, BusRelations);
  *slot_out = (ULONG)i;
  return STATUS_SUCCESS;
}

static NTSTATUS set_pipe(const WCHAR* name, ULONG chars) {
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES attr;
  IO_STATUS_BLOCK io;
  NTSTATUS st;

  if (g_pipe) {
    ZwClose(g_pipe);
    g_pipe = NULL;
  }
  if (!chars) return STATUS_SUCCESS;
  if (chars >= ARRAYSIZE(g_pipe_name)) return STATUS_NAME_TOO_LONG;
  RtlCopyMemory(g_pipe_name, name, chars * sizeof(WCHAR));
  g_pipe_name[chars] = 0;
  RtlInitUnicodeString(&path, g_pipe_name);
  InitializeObjectAttributes(&attr, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  st = ZwCreateFile(&g_pipe, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attr, &io, NULL, 0, 0,
                    FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
  DbgPrint("standin: pipe %ls: %#lx\n", g_pipe_name, (long)st);
  if (st) g_pipe = NULL;
  return st;
}

static NTSTATUS control_request(IRP* irp, IO_STACK_LOCATION* sp) {
  ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
  void* buf = irp->AssociatedIrp.SystemBuffer;
  ULONG slot;
  NTSTATUS st;

  switch (code) {
    case IOCTL_STANDIN_PLUG:
      if (in_len < sizeof(struct standin_plug) || out_len < sizeof(ULONG))
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
      st = plug_child((const struct standin_plug*)buf, &slot);
      if (st) return complete(irp, st, 0);
      *(ULONG*)buf = slot;
      return complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    case IOCTL_STANDIN_UNPLUG:
      if (in_len < sizeof(ULONG)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      slot = *(ULONG*)buf;
      if (slot >= STANDIN_MAX_CHILDREN || !g_children[slot] || !drop_child(g_children[slot]))
        return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
      return complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_PIPE:
      return complete(irp, set_pipe(buf, in_len / sizeof(WCHAR)), 0);
    case IOCTL_STANDIN_COUNTS:
      if (out_len < sizeof(g_counts)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlCopyMemory(buf, &g_counts, sizeof(g_counts));
      return complete(irp, STATUS_SUCCESS, sizeof(g_counts));
  }
  return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* ---- dispatch ---- */

static NTSTATUS WINAPI dispatch_create_close(DEVICE_OBJECT* dev, IRP* irp) {
  struct ext* e = dev->DeviceExtension;
  IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_CREATE && (e->removed || e->gone))
    return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_ioctl(DEVICE_OBJECT* dev, IRP* irp) {
  struct ext* e = dev->DeviceExtension;
  IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
  if (e->kind == KIND_BUS) return control_request(irp, sp);
  return child_request(e, irp, sp);
}

static NTSTATUS WINAPI sync_completion(DEVICE_OBJECT* dev, IRP* irp, void* ctx) {
  (void)dev;
  (void)irp;
  KeSetEvent((KEVENT*)ctx, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS forward_sync(struct ext* e, IRP* irp) {
  KEVENT ev;
  NTSTATUS st;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, sync_completion, &ev, TRUE, TRUE, TRUE);
  st = IoCallDriver(e->lower, irp);
  if (st == STATUS_PENDING) {
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, NULL);
    st = irp->IoStatus.Status;
  }
  return st;
}

static NTSTATUS bus_pnp(struct ext* e, IRP* irp, IO_STACK_LOCATION* sp) {
  NTSTATUS st;
  int i, n;

  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
      st = forward_sync(e, irp);
      if (NT_SUCCESS(st)) set_link(e, TRUE);
      return complete(irp, st, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
        DEVICE_RELATIONS* rel;
        ExAcquireFastMutex(&g_lock);
        rel = ExAllocatePoolWithTag(
            PagedPool, sizeof(*rel) + STANDIN_MAX_CHILDREN * sizeof(DEVICE_OBJECT*), STANDIN_TAG);
        if (!rel) {
          ExReleaseFastMutex(&g_lock);
          return complete(irp, STATUS_NO_MEMORY, 0);
        }
        for (i = n = 0; i < STANDIN_MAX_CHILDREN; i++) {
          if (!g_children[i]) continue;
          rel->Objects[n++] = g_children[i];
          ObReferenceObject(g_children[i]); /* the PnP manager releases each */
        }
        rel->Count = n;
        ExReleaseFastMutex(&g_lock);
        irp->IoStatus.Information = (ULONG_PTR)rel;
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      e->removed = TRUE;
      set_link(e, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      e->removed = TRUE;
      set_link(e, FALSE);
      if (g_pipe) {
        ZwClose(g_pipe);
        g_pipe = NULL;
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      st = IoCallDriver(e->lower, irp);
      IoDetachDevice(e->lower);
      RtlFreeUnicodeString(&e->link);
      g_bus = NULL;
      IoDeleteDevice(e->self);
      return st;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(e->lower, irp);
}

static NTSTATUS child_query_id(struct ext* e, IRP* irp, BUS_QUERY_ID_TYPE type) {
  WCHAR *id, *p;
  switch (type) {
    case BusQueryDeviceID: /* USB\VID_5E1A&PID_F072&MI_00 */
      if (!(id = alloc_id(64))) return STATUS_NO_MEMORY;
      put_usb_id(id, &e->plug, FALSE);
      break;
    case BusQueryInstanceID: /* 6&<serial>&0&0000, as a USB composite child's */
      if (!(id = alloc_id(32))) return STATUS_NO_MEMORY;
      p = put_str(id, "6&");
      p = put_hex(p, e->plug.serial, 8);
      put_str(p, "&0&0000");
      break;
    case BusQueryHardwareIDs: /* multi-sz */
      if (!(id = alloc_id(128))) return STATUS_NO_MEMORY;
      p = put_usb_id(id, &e->plug, TRUE) + 1;
      p = put_usb_id(p, &e->plug, FALSE) + 1;
      *p = 0;
      break;
    case BusQueryCompatibleIDs:
      if (!(id = alloc_id(32))) return STATUS_NO_MEMORY;
      p = put_str(id, "USB\\Class_FF") + 1;
      *p = 0;
      break;
    default:
      return irp->IoStatus.Status;
  }
  irp->IoStatus.Information = (ULONG_PTR)id;
  return STATUS_SUCCESS;
}

static NTSTATUS child_pnp(struct ext* e, IRP* irp, IO_STACK_LOCATION* sp) {
  NTSTATUS st = irp->IoStatus.Status;
  int i;

  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
      st = child_query_id(e, irp, sp->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      DEVICE_CAPABILITIES* caps = sp->Parameters.DeviceCapabilities.Capabilities;
      caps->RawDeviceOK = 1; /* starts without a function driver of its own */
      caps->SurpriseRemovalOK = 1;
      caps->Removable = 1;
      caps->UniqueID = 1;
      st = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_START_DEVICE:
      /* No reference string: wine cannot enable an interface that has one. */
      if (!e->link.Buffer) {
        st = IoRegisterDeviceInterface(
            e->self, e->plug.channel == STANDIN_CHANNEL_AUDIO ? &kGuidAudio : &kGuidUsb, NULL,
            &e->link);
        if (st) break;
      }
      set_link(e, TRUE);
      st = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      e->removed = TRUE;
      set_link(e, FALSE);
      st = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      e->removed = TRUE;
      set_link(e, FALSE);
      ExAcquireFastMutex(&g_lock);
      for (i = 0; i < STANDIN_MAX_CHILDREN; i++)
        if (g_children[i] == e->self) g_children[i] = NULL;
      ExReleaseFastMutex(&g_lock);
      RtlFreeUnicodeString(&e->link);
      complete(irp, STATUS_SUCCESS, 0);
      DbgPrint("standin: child %d removed\n", e->slot);
      IoDeleteDevice(e->self);
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      st = STATUS_SUCCESS;
      break;
  }
  irp->IoStatus.Status = st;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return st;
}

static NTSTATUS WINAPI dispatch_pnp(DEVICE_OBJECT* dev, IRP* irp) {
  struct ext* e = dev->DeviceExtension;
  IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
  if (e->kind == KIND_BUS) return bus_pnp(e, irp, sp);
  return child_pnp(e, irp, sp);
}

static NTSTATUS WINAPI dispatch_power(DEVICE_OBJECT* dev, IRP* irp) {
  struct ext* e = dev->DeviceExtension;
  PoStartNextPowerIrp(irp);
  if (e->kind == KIND_BUS) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(e->lower, irp);
  }
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI add_device(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fdo;
  struct ext* e;
  NTSTATUS st;

  if (g_bus) return STATUS_DEVICE_ALREADY_ATTACHED; /* one bus device */
  st = IoCreateDevice(driver, sizeof(struct ext), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (st) return st;
  e = fdo->DeviceExtension;
  RtlZeroMemory(e, sizeof(*e));
  e->kind = KIND_BUS;
  e->self = fdo;
  e->pdo = pdo;
  e->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  /* The interface is registered on the root PDO, which answers QUERY_ID. */
  st = IoRegisterDeviceInterface(pdo, &kGuidControl, NULL, &e->link);
  if (st) {
    DbgPrint("standin: cannot register the control interface: %#lx\n", (long)st);
    IoDetachDevice(e->lower);
    IoDeleteDevice(fdo);
    return st;
  }
  g_bus = fdo;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void WINAPI driver_unload(DRIVER_OBJECT* driver) { (void)driver; }

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
  (void)registry;
  g_driver = driver;
  ExInitializeFastMutex(&g_lock);
  driver->DriverExtension->AddDevice = add_device;
  driver->DriverUnload = driver_unload;
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_create_close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
  driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
  return STATUS_SUCCESS;
}
