/*
 * LF_v2270: device library of the Lumaframe v2270 family of USB sheet-fed
 * document scanners. The host finds and opens the scanner with
 * IO_HasScanner, may calibrate it, then scans page by page and block by block.
 *
 * Usable from C and C++. Results are 1 for success and 0 for failure unless a
 * function says otherwise; 16-bit results are `short`.
 */
#ifndef LF_V2270_H
#define LF_V2270_H

#if defined(_WIN32)
#  define LF_CALL __cdecl
#  define LF_CALLBACK __stdcall
#  if defined(LF_V2270_BUILDING)
#    define LF_API __declspec(dllexport)
#  else
#    define LF_API __declspec(dllimport)
#  endif
#else
#  define LF_CALL
#  define LF_CALLBACK
#  define LF_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's scan parameter record: 43 signed 16-bit values. Those the
 * library reads: 0 image mode (1 gray, 2 line art, 4 colour, 64 infrared),
 * 1 sample size (2 = two bytes per sample), 2 resolution in dpi, 3 gain
 * adjustment, 4 offset adjustment, 5 gamma x 10, 6 highlight, 7 shadow,
 * 32 line-art threshold, 37..40 top, left, bottom, right edge in hundredths
 * of an inch. */
typedef struct ScanParamBlock {
  short values[43];
} ScanParamBlock;

/* Receives each block of rows of IO_Scan / IO_Scan_New: a movable memory
 * block holding the rows bottom row first, the number of rows delivered and
 * the constant 1. The block stays the library's. */
typedef void(LF_CALLBACK* LF_ScanCallback)(void* block, int rows, int one);

/* Finding and opening the scanner. */
LF_API int LF_CALL IO_HasScanner(const char* modelName);
LF_API int LF_CALL IO_ODAScanner(void);
LF_API int LF_CALL IO_isScannerConnected(void);

/* Calibration. */
LF_API int LF_CALL IO_Clean(void);
LF_API int LF_CALL IO_IsCalibrationNeeded(void);
LF_API int LF_CALL IO_CalibrateScanner(int unused);
LF_API void LF_CALL IO_FindFirstLine(void);

/* The page flow. */
LF_API int LF_CALL IO_StartScan(void);
LF_API int LF_CALL IO_GetPageDimension(ScanParamBlock* params, int* width, int* height);
LF_API int LF_CALL IO_StartScanPage(ScanParamBlock* params, int* width, int* height);
LF_API short LF_CALL IO_GetImageBlock(unsigned char* dest, short lines, ScanParamBlock* params,
                                      int width, int pageHeight);
LF_API short LF_CALL IO_GetImageBlockDual(unsigned char* destMirrored, unsigned char* destDirect,
                                          short lines, int fourth, int width, int sixth);
LF_API void LF_CALL IO_EndScanPage(void);
LF_API void LF_CALL IO_EndScan(void);
LF_API void LF_CALL IO_AbortScan(void);
LF_API void LF_CALL IO_SetDualScan(int flag);
LF_API void LF_CALL IO_SetColor(int first, int second, int third);
LF_API void LF_CALL IO_SetGamma(float first, float second, float third);

/* Paper. */
LF_API void LF_CALL IO_FeedOn(void);
LF_API void LF_CALL IO_FeedOn_S(int milliseconds);
LF_API int LF_CALL IO_FeedPage(void);
LF_API int LF_CALL IO_FeedBack(void);
LF_API int LF_CALL IO_FeedBack_S(int milliseconds);
LF_API int LF_CALL IO_StopFeed(void);
LF_API void LF_CALL IO_ReverseMotor(int keepForward);
LF_API int LF_CALL IO_IsPaperOn(void);

/* Panel and hardware. */
LF_API int LF_CALL IO_Beeps(void);
LF_API short LF_CALL IO_IsButtonDown(void);
LF_API void LF_CALL IO_ResetHardware(void);

/* Identity record. */
LF_API void LF_CALL IO_GetVidPid(unsigned short* vendorId, unsigned short* productId);
LF_API int LF_CALL IO_VerifyID(unsigned short vendorId, unsigned short productId);
LF_API void LF_CALL IO_GetSN(char* serial);
LF_API int LF_CALL IO_ReadEEPROMInfo(unsigned short* vendorId, unsigned short* productId,
                                     unsigned char* firstText, unsigned char* secondText,
                                     unsigned char* serial, int memType, const char* pass);
LF_API int LF_CALL IO_WriteEEPROMInfo(unsigned short vendorId, unsigned short productId,
                                      const char* firstText, const char* secondText,
                                      const char* serial, int memType, const char* pass);

/* Queries. */
LF_API int LF_CALL IO_IsCapableOf(short capability);
LF_API int LF_CALL IO_GetFilterNames(char* names);
LF_API int LF_CALL IO_ResolutionInfo(unsigned short* first, unsigned short* second,
                                     unsigned short* third);
LF_API void LF_CALL IO_AdjustChannelValue(unsigned char* table, short brightness, short contrast,
                                          short gamma, short highlight, short shadow);

/* Whole-page scans. */
LF_API void LF_CALL SetFunc(LF_ScanCallback callback);
LF_API void LF_CALL IO_Scan(short imageType, short resolution, int unused, short rowsPerBlock,
                            LF_ScanCallback callback);
LF_API void LF_CALL IO_Scan_New(short imageType, short resolution, int unused, short rowsPerBlock,
                                LF_ScanCallback callback, short top, short bottom, short left,
                                short right);
LF_API int LF_CALL IO_ScanImage(ScanParamBlock* params, const char* fileName, int* width,
                                int* height);
LF_API int LF_CALL IO_ScanImageDual(ScanParamBlock* params, const char* frontFile,
                                    const char* backFile, int* width, int* height);

/* Exports with a fixed answer; their arguments are never read or written. */
LF_API short LF_CALL IO_GetPaperNames(void* unused);
LF_API short LF_CALL IO_GetPreviewResolution(void* unused);
LF_API int LF_CALL IO_IsButtonOn(void);
LF_API int LF_CALL IO_GetPatternData(void* unused);
LF_API int LF_CALL IO_HardwareCheck(void);
LF_API int LF_CALL IO_IsADFAttached(void);
LF_API int LF_CALL IO_IsSlideAttathed(void);
LF_API int LF_CALL IO_IsTransA4Attathed(void);
LF_API int LF_CALL IO_IsTransA5Attathed(void);
LF_API void LF_CALL IO_Step(void* unused);
LF_API void LF_CALL IO_GetDriverName(void* unused);
LF_API void LF_CALL IO_GetHalftonePattern(void* unused);
LF_API void LF_CALL IO_ProcessPaperJam(void);
LF_API void LF_CALL IO_SetLED(int unused);
LF_API void LF_CALL IO_StartUp(void);

#ifdef __cplusplus
} /* extern "C" */

/* The module's small C++ exports; nothing in the library uses them. */
class LF_API COndrUSBDll {
 public:
  COndrUSBDll();
  COndrUSBDll& operator=(const COndrUSBDll& other);
};
LF_API int fnOndrUSBDll(void);
LF_API extern int nOndrUSBDll;
#endif

#endif /* LF_V2270_H */
