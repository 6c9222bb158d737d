/*
 * QORasstW: hardware-asset inventory for desktop PCs.
 *
 * All state is prepared when the library is loaded into a process; no export has to be
 * called first. Buffers belong to the caller. Boolean exports answer non-zero for yes or
 * success; coded exports answer 0 for success or one of the AssetResult values below.
 */
#ifndef QORASSTW_H
#define QORASSTW_H

#ifdef _WIN32
#define QORASST_CALL __cdecl
#ifdef QORASST_BUILDING
#define QORASST_API
#else
#define QORASST_API __declspec(dllimport)
#endif
#else
#define QORASST_CALL
#define QORASST_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One numbering for every coded operation; 0 is success. */
enum AssetResult {
    ASSET_OK = 0,
    ASSET_ERR_BUS = 1,             /* no device (address 0) or a bus transfer failed */
    ASSET_ERR_SIGNATURE = 2,       /* "SER#", "USR#" or a module's "11S" block missing */
    ASSET_ERR_VERSION = 3,         /* format version of an area is not 1 */
    ASSET_ERR_NO_ROOM = 4,         /* no free record slot or no space for a structure */
    ASSET_ERR_VERIFY_KEY = 5,      /* read-back after a write: record key differs */
    ASSET_ERR_VERIFY_TEXT = 6,     /* read-back after a write: record text differs */
    ASSET_ERR_CHECKSUM = 7,        /* a checksum does not balance */
    ASSET_ERR_INDEX = 8,           /* device index above 7 */
    ASSET_ERR_NOT_FOUND = 9,       /* no such user-area structure or module address */
    ASSET_ERR_LAYOUT = 10,         /* user-area layout invalid or structure too large */
    ASSET_ERR_RFID_GROUP = 11,     /* RF identifier holds a 6-bit group above 35 */
    ASSET_ERR_NO_EDID = 51,        /* no EDID block captured at start-up */
    ASSET_ERR_EDID_OPEN = 52,      /* physical memory could not be opened */
    ASSET_ERR_EDID_PMEM = 53,      /* physical memory not available */
    ASSET_ERR_EDID_RECORD = 54,    /* no "EDID" record in the extended BIOS data area */
    ASSET_ERR_EDID_CHECKSUM = 55,  /* EDID block checksum is not 0 */
    ASSET_ERR_EDID_SERIAL = 56,    /* no monitor serial-number descriptor */
    ASSET_ERR_EDID_NAME = 57,      /* no monitor name descriptor */
    ASSET_ERR_EDID_READ = 58,      /* physical-memory read failed or EBDA unusable */
    ASSET_ERR_MODE_INDEX = 59,     /* display-mode index out of range */
    ASSET_ERR_VPD_NOT_LOADED = 61, /* no VPD was loaded in this process */
    ASSET_ERR_VPD_OPEN = 62,       /* physical memory could not be opened */
    ASSET_ERR_VPD_PMEM = 63,       /* physical memory not available */
    ASSET_ERR_VPD_INVALID = 64,    /* no valid VPD block found, or reading it failed */
    ASSET_ERR_NOT_INITIALIZED = 101, /* start-up did not complete */
    ASSET_ERR_NO_SOURCE = 102,     /* no record and no other source for the device */
    ASSET_ERR_INDEX_NOT_ZERO = 103, /* the index must be 0 for this device type */
    ASSET_ERR_BAD_ARGUMENT = 104   /* a pointer argument is null; nothing was done */
};

/* Status */
QORASST_API int QORASST_CALL AssetIsInitialized(void);
QORASST_API int QORASST_CALL AssetIsEeprom(void);
QORASST_API int QORASST_CALL AssetIsRfEeprom(void);
QORASST_API int QORASST_CALL AssetIsMonitor(void);

/* Serial numbers. buffer: 23 bytes (37 for the system UUID, type 257). */
QORASST_API int QORASST_CALL AssetGetSerialNumber(int devtype, int index, char *buffer);
QORASST_API int QORASST_CALL AssetGetSerialNumber2(int devtype, int index, char *buffer);
QORASST_API int QORASST_CALL AssetIsSerialCacheDirty(void);
QORASST_API int QORASST_CALL AssetSetSerialNumber(int devtype, int index, const char *text);

/* User area */
QORASST_API int QORASST_CALL AssetGetUserAreaStruct(unsigned char *buffer, unsigned char type);
QORASST_API int QORASST_CALL AssetSetUserAreaStruct(const unsigned char *structure);
QORASST_API int QORASST_CALL AssetIsUserCacheDirty(void);

/* Host identity. AssetGetIPConfig hands out strings the caller releases with free(). */
QORASST_API int QORASST_CALL AssetGetLoginName(char *buffer, int size);
QORASST_API int QORASST_CALL AssetGetSystemName(char *buffer, int size);
QORASST_API int QORASST_CALL AssetGetIPConfig(char **addresses, char **masks, char **gateway,
                                              int capacity);

/* RF identity. buffer: 32 bytes. */
QORASST_API int QORASST_CALL AssetGetRFID(char *buffer);

/* BIOS tables */
QORASST_API int QORASST_CALL VPDLoadData(unsigned char *buffer, int *size);
QORASST_API int QORASST_CALL VPDGetSystem(char *text, int size, const unsigned char *vpd);
QORASST_API int QORASST_CALL VPDGetMotherboard(char *text, int size, const unsigned char *vpd);
QORASST_API int QORASST_CALL AssetIsVPDMatch(void);

/* Monitor */
QORASST_API int QORASST_CALL MonitorGetEDIDBlock(unsigned char *buffer, int size);
QORASST_API int QORASST_CALL MonitorGetManufacturer(char *buffer, int size);
QORASST_API int QORASST_CALL MonitorGetProduct(char *buffer, int size);
QORASST_API int QORASST_CALL MonitorGetVersion(char *buffer, int size);
QORASST_API int QORASST_CALL MonitorGetResolution(int index, int *width, int *height,
                                                  int *refresh, int *kind);

#ifdef __cplusplus
}
#endif

#endif /* QORASSTW_H */
