// IPC message layouts: the responses and requests written byte for byte, and the validation
// rules of the public and private channels.
#include "ipc/protocol/GestIpcFormat.h"
#include "ipc/protocol/TulvoStatus.h"
#include "tests/common/TraceCapture.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Takes ownership of a buffer handed out by the protocol module.
Bytes Take(uint8_t* i_puc_Buffer, uint32_t i_ul_Length) {
    Bytes l_x_Bytes(i_puc_Buffer, i_puc_Buffer + i_ul_Length);
    GestIpc_FreeBuffer(i_puc_Buffer);
    return l_x_Bytes;
}

Bytes StatusResponse(const Bytes& i_x_Request, int32_t i_i_Status) {
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(GestIpc_AllocStatusResponse(i_x_Request.data(),
                                          static_cast<uint32_t>(i_x_Request.size()),
                                          &l_puc_Response, &l_ul_Length, i_i_Status),
              TULVO_OK);
    return Take(l_puc_Response, l_ul_Length);
}

Bytes DataResponse(const Bytes& i_x_Request, int32_t i_i_Status, const Bytes& i_x_Data) {
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    EXPECT_EQ(GestIpc_AllocDataResponse(
                  i_x_Request.data(), static_cast<uint32_t>(i_x_Request.size()), &l_puc_Response,
                  &l_ul_Length, i_i_Status, i_x_Data.empty() ? nullptr : i_x_Data.data(),
                  static_cast<uint32_t>(i_x_Data.size())),
              TULVO_OK);
    return Take(l_puc_Response, l_ul_Length);
}

int32_t PublicCommand(const Bytes& i_x_Request, uint32_t* o_pul_Command) {
    return GestIpcPublic_GetCommande(i_x_Request.data(), static_cast<uint32_t>(i_x_Request.size()),
                                     o_pul_Command);
}

int32_t ReadPrivate(const Bytes& i_x_Request, GestIpc_PrivateRequest* o_px_Request) {
    return GestIpcPrivate_ReadRequest(i_x_Request.data(), static_cast<uint32_t>(i_x_Request.size()),
                                      o_px_Request);
}

TEST(GestIpcResponses, UnknownInfoTypeGetsElevenByteDataResponse) {
    const Bytes l_x_Request = {0x01, 0x00, 0x09, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0};
    uint32_t l_ul_Type = 0, l_ul_Value = 1;
    ASSERT_EQ(GestIpcPublic_ReadServerInfos(l_x_Request.data(), 15, &l_ul_Type, &l_ul_Value),
              TULVO_OK);
    EXPECT_EQ(l_ul_Type, 5u);
    EXPECT_EQ(l_ul_Value, 0u);
    EXPECT_EQ(DataResponse(l_x_Request, TULVO_BAD_PARAMETER, {}),
              (Bytes{0x01, 0x00, 0x09, 0xFF, 0xFF, 0xFE, 0x64, 0x00, 0x00, 0x00, 0x00}));
}

TEST(GestIpcResponses, EnumDevicesOfFourBytesIsRefusedWithStatusResponse) {
    const Bytes l_x_Request = {0x01, 0x00, 0x08, 0x00};
    uint32_t l_ul_Command = 0;
    EXPECT_EQ(PublicCommand(l_x_Request, &l_ul_Command), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(GestIpcPublic_IsEnumDeviceRequest(l_x_Request.data(), 4), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(StatusResponse(l_x_Request, TULVO_BAD_IPC_FORMAT),
              (Bytes{0x01, 0x00, 0x08, 0xFF, 0xFF, 0xFE, 0x68}));
}

TEST(GestIpcResponses, RecvBufferTimeOutAndFrameWithFailure) {
    const Bytes l_x_Request = {0x01, 0x00, 0x14, 0x00, 0x00, 0x03, 0xE8};
    EXPECT_EQ(DataResponse(l_x_Request, TULVO_TIMEOUT, {}),
              (Bytes{0x01, 0x00, 0x14, 0xFF, 0xFF, 0xFD, 0xD7, 0x00, 0x00, 0x00, 0x00}));
    // A frame handed out before a failure travels together with the status.
    EXPECT_EQ(DataResponse(l_x_Request, TULVO_ABORTED, {0x80, 0x00, 0x00}),
              (Bytes{0x01, 0x00, 0x14, 0xFF, 0xFF, 0xFE, 0x61, 0x00, 0x00, 0x00, 0x03, 0x80, 0x00,
                     0x00}));
}

TEST(GestIpcResponses, StatusesAreWrittenBigEndianTwosComplement) {
    uint8_t l_auc_Bytes[4];
    GestIpc_PutU32(l_auc_Bytes, static_cast<uint32_t>(TULVO_TS_SERVER_NOT_RUNNING));
    EXPECT_EQ(Bytes(l_auc_Bytes, l_auc_Bytes + 4), (Bytes{0xFF, 0xFF, 0xFE, 0x5A}));
    EXPECT_EQ(static_cast<int32_t>(GestIpc_GetU32(l_auc_Bytes)), -422);
}

TEST(GestIpcResponses, ShortRequestsEchoTheirBytesAndZeros) {
    EXPECT_EQ(StatusResponse({0x01}, TULVO_BAD_IPC_FORMAT),
              (Bytes{0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFE, 0x68}));
    EXPECT_EQ(StatusResponse({}, TULVO_BAD_IPC_FORMAT),
              (Bytes{0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFE, 0x68}));
    uint8_t* l_puc_Response = nullptr;
    uint32_t l_ul_Length = 0;
    ASSERT_EQ(GestIpc_AllocResponse(nullptr, 0, &l_puc_Response, &l_ul_Length, 3, TULVO_OK),
              TULVO_OK);
    EXPECT_EQ(Take(l_puc_Response, l_ul_Length), Bytes(7, 0x00)); // never below the head
}

TEST(GestIpcResponses, ClientReadsHeadAndDataOnlyWithinTheResponse) {
    const Bytes l_x_Good = {0x01, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x02, 'A',  0x00};
    uint32_t l_ul_Command = 0;
    int32_t l_i_Status = 1;
    ASSERT_EQ(GestIpc_ReadResponseHead(l_x_Good.data(), 13, &l_ul_Command, &l_i_Status), TULVO_OK);
    EXPECT_EQ(l_ul_Command, 0x09u);
    EXPECT_EQ(l_i_Status, 0);
    const uint8_t* l_puc_Data = nullptr;
    uint32_t l_ul_DataLength = 0;
    ASSERT_EQ(GestIpc_ReadResponseData(l_x_Good.data(), 13, &l_puc_Data, &l_ul_DataLength),
              TULVO_OK);
    EXPECT_EQ(l_ul_DataLength, 2u);
    EXPECT_EQ(l_puc_Data, l_x_Good.data() + 11);
    EXPECT_EQ(GestIpc_ReadResponseData(l_x_Good.data(), 12, &l_puc_Data, &l_ul_DataLength),
              TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(GestIpc_ReadResponseData(l_x_Good.data(), 10, &l_puc_Data, &l_ul_DataLength),
              TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(GestIpc_ReadResponseHead(l_x_Good.data(), 6, &l_ul_Command, &l_i_Status),
              TULVO_BAD_IPC_FORMAT);
}

TEST(GestIpcRequests, BuildersWriteTheLayoutsByteForByte) {
    uint8_t* l_puc_Request = nullptr;
    uint32_t l_ul_Length = 0;
    ASSERT_EQ(GestIpc_BuildEnumDevicesRequest(&l_puc_Request, &l_ul_Length), TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length), (Bytes{0x01, 0x00, 0x08}));
    ASSERT_EQ(GestIpc_BuildServerInfosRequest(1, 3, &l_puc_Request, &l_ul_Length), TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length),
              (Bytes{0x01, 0x00, 0x09, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3}));
    ASSERT_EQ(GestIpc_BuildLinkRequest(2, "AB12", &l_puc_Request, &l_ul_Length), TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length),
              (Bytes{0x01, 0x00, 0x10, 0x02, 'A', 'B', '1', '2', 0x00}));
    ASSERT_EQ(GestIpc_BuildLinkRequest(0, "", &l_puc_Request, &l_ul_Length), TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length), (Bytes{0x01, 0x00, 0x10, 0x00, 0x00}));
    ASSERT_EQ(GestIpc_BuildLockPipeRequest(0x01020304, &l_puc_Request, &l_ul_Length), TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length), (Bytes{0x01, 0x00, 0x11, 0x01, 0x02, 0x03, 0x04}));
    ASSERT_EQ(GestIpc_BuildUnlockPipeRequest(&l_puc_Request, &l_ul_Length), TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length), (Bytes{0x01, 0x00, 0x12}));
    const uint8_t l_auc_Frame[] = {0x80, 0x00, 0x00};
    ASSERT_EQ(GestIpc_BuildSendBufferRequest(1000, l_auc_Frame, 3, &l_puc_Request, &l_ul_Length),
              TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length), (Bytes{0x01, 0x00, 0x13, 0x00, 0x00, 0x03, 0xE8,
                                                       0x00, 0x00, 0x00, 0x03, 0x80, 0x00, 0x00}));
    ASSERT_EQ(GestIpc_BuildRecvBufferRequest(0xFFFFFFFF, &l_puc_Request, &l_ul_Length), TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length), (Bytes{0x01, 0x00, 0x14, 0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(
        GestIpc_BuildWaitForRebootRequest(500, 30000, l_auc_Frame, 3, &l_puc_Request, &l_ul_Length),
        TULVO_OK);
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length),
              (Bytes{0x01, 0x00, 0x15, 0x00, 0x00, 0x01, 0xF4, 0x00, 0x00, 0x75, 0x30, 0x00, 0x00,
                     0x00, 0x03, 0x80, 0x00, 0x00}));
    ASSERT_EQ(GestIpc_BuildDestroyConxRequest(&l_puc_Request, &l_ul_Length), TULVO_OK);
    Bytes l_x_Destroy(23, 0x00);
    l_x_Destroy[0] = 0x01;
    l_x_Destroy[2] = 0x16;
    EXPECT_EQ(Take(l_puc_Request, l_ul_Length), l_x_Destroy);
}

TEST(GestIpcRequests, DeviceKeyOfHundredCharactersCannotBeSent) {
    uint8_t* l_puc_Request = nullptr;
    uint32_t l_ul_Length = 0;
    ASSERT_EQ(
        GestIpc_BuildLinkRequest(0, std::string(99, 'K').c_str(), &l_puc_Request, &l_ul_Length),
        TULVO_OK);
    EXPECT_EQ(l_ul_Length, 104u);
    GestIpc_FreeBuffer(l_puc_Request);
    EXPECT_EQ(
        GestIpc_BuildLinkRequest(0, std::string(100, 'K').c_str(), &l_puc_Request, &l_ul_Length),
        TULVO_BAD_PARAMETER);
    EXPECT_EQ(l_puc_Request, nullptr);
}

TEST(GestIpcPublicValidation, RulesApplyInOrderWithExactLengths) {
    uint32_t l_ul_Command = 0;
    Bytes l_x_Private(15, 0x00);
    l_x_Private[2] = 0x07;
    ASSERT_EQ(PublicCommand(l_x_Private, &l_ul_Command), TULVO_OK);
    EXPECT_EQ(l_ul_Command, 0x07u);
    l_x_Private.pop_back();
    EXPECT_EQ(PublicCommand(l_x_Private, &l_ul_Command), TULVO_BAD_IPC_FORMAT);

    ASSERT_EQ(PublicCommand({0x01, 0x00, 0x08}, &l_ul_Command), TULVO_OK);
    EXPECT_EQ(l_ul_Command, 0x08u);
    EXPECT_EQ(PublicCommand({0x01, 0x00}, &l_ul_Command), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(PublicCommand({0x00, 0x00, 0x08}, &l_ul_Command), TULVO_BAD_IPC_FORMAT);

    Bytes l_x_Infos = {0x01, 0x00, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(PublicCommand(l_x_Infos, &l_ul_Command), TULVO_OK);
    EXPECT_EQ(l_ul_Command, 0x09u);
    EXPECT_EQ(GestIpcPublic_IsServerInfos(l_x_Infos.data(), 15), TULVO_OK);
    l_x_Infos.push_back(0xAA); // longer is still SERVERINFOS
    EXPECT_EQ(PublicCommand(l_x_Infos, &l_ul_Command), TULVO_OK);
    l_x_Infos.resize(14);
    EXPECT_EQ(PublicCommand(l_x_Infos, &l_ul_Command), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(GestIpcPublic_IsServerInfos(l_x_Infos.data(), 14), TULVO_BAD_IPC_FORMAT);
    // A private command on the public channel.
    EXPECT_EQ(PublicCommand({0x01, 0x00, 0x10, 0x00, 0x00}, &l_ul_Command), TULVO_BAD_IPC_FORMAT);
}

TEST(GestIpcPublicValidation, AbsentRequestIsLogged) {
    tulvo_test::CTraceCapture l_x_Log;
    EXPECT_EQ(GestIpcPublic_IsEnumDeviceRequest(nullptr, 3), TULVO_BAD_IPC_FORMAT);
    const uint8_t l_auc_Byte[] = {0x01};
    EXPECT_EQ(GestIpcPublic_IsServerInfos(l_auc_Byte, 0), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(l_x_Log.Take(),
              (std::vector<std::string>{
                  "GestIpcPublic_IsEnumDeviceRequest : TULVO_BAD_IPC_FORMAT (i_pc_DataRequest == "
                  "NULL) || (i_i_LenRequest == 0)\n",
                  "GestIpcPublic_IsServerInfos : TULVO_BAD_IPC_FORMAT (i_pc_DataRequest == NULL) "
                  "|| (i_i_LenRequest == 0)\n"}));
}

TEST(GestIpcPrivateValidation, UnknownCommandIsRefusedWithItsLogLine) {
    tulvo_test::CTraceCapture l_x_Log;
    const Bytes l_x_Request = {0x01, 0x00, 0x17};
    uint32_t l_ul_Command = 0;
    EXPECT_EQ(GestIpcPrivate_GetCommande(l_x_Request.data(), 3, &l_ul_Command),
              TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(l_x_Log.Take(),
              (std::vector<std::string>{"GestIpcPrivate_IsLinkToVek Err 0xFFFFFE68\n"}));
    EXPECT_EQ(StatusResponse(l_x_Request, TULVO_BAD_IPC_FORMAT),
              (Bytes{0x01, 0x00, 0x17, 0xFF, 0xFF, 0xFE, 0x68}));
}

TEST(GestIpcPrivateValidation, EmptyAndAbsentRequestsLogEveryLine) {
    tulvo_test::CTraceCapture l_x_Log;
    uint32_t l_ul_Command = 0;
    const uint8_t l_auc_Byte[] = {0x01};
    EXPECT_EQ(GestIpcPrivate_GetCommande(l_auc_Byte, 0, &l_ul_Command), TULVO_BAD_IPC_FORMAT);
    const std::string l_x_Empty = "GestIpcPrivate_GetCommande : TULVO_BAD_IPC_FORMAT "
                                  "(i_pc_DataRequest == NULL) || (i_i_LenRequest == 0)\n";
    const std::string l_x_Short =
        "GestIpcPrivate_GetCommande : TULVO_BAD_IPC_FORMAT i_i_LenRequest < ( 3 )\n";
    const std::string l_x_Absent = "GestIpcPrivate_GetCommande : TULVO_BAD_IPC_FORMAT "
                                   "i_pc_DataRequest[ COMMANDE_OFFSET_COMMANDE ] Unknown\n";
    const std::string l_x_Final = "GestIpcPrivate_IsLinkToVek Err 0xFFFFFE68\n";
    EXPECT_EQ(l_x_Log.Take(), (std::vector<std::string>{l_x_Empty, l_x_Short, l_x_Final}));
    EXPECT_EQ(GestIpcPrivate_GetCommande(nullptr, 0, &l_ul_Command), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(l_x_Log.Take(),
              (std::vector<std::string>{l_x_Empty, l_x_Short, l_x_Absent, l_x_Final}));
    EXPECT_EQ(GestIpcPrivate_GetCommande(l_auc_Byte, 1, &l_ul_Command), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(l_x_Log.Take(), (std::vector<std::string>{l_x_Short, l_x_Final}));
}

TEST(GestIpcPrivateValidation, HeadMustBeClassOneZeroAndKnownCode) {
    uint32_t l_ul_Command = 0;
    for (uint32_t l_ul_Code = 0x10; l_ul_Code <= 0x16; ++l_ul_Code) {
        const uint8_t l_auc_Request[] = {0x01, 0x00, static_cast<uint8_t>(l_ul_Code)};
        ASSERT_EQ(GestIpcPrivate_GetCommande(l_auc_Request, 3, &l_ul_Command), TULVO_OK);
        EXPECT_EQ(l_ul_Command, l_ul_Code);
    }
    const Bytes l_ax_Bad[] = {{0x01, 0x00, 0x0F},
                              {0x02, 0x00, 0x11},
                              {0x01, 0x01, 0x11},
                              {0x00, 0x00, 0x07},
                              {0x01, 0x00}};
    for (const Bytes& l_x_Bad : l_ax_Bad) {
        EXPECT_EQ(GestIpcPrivate_GetCommande(l_x_Bad.data(), static_cast<uint32_t>(l_x_Bad.size()),
                                             &l_ul_Command),
                  TULVO_BAD_IPC_FORMAT);
    }
}

TEST(GestIpcPrivateValidation, FixedPartsAndFrameLengthsAreChecked) {
    GestIpc_PrivateRequest l_x_Request;
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x11, 0, 0, 1}, &l_x_Request), TULVO_BAD_IPC_FORMAT);
    ASSERT_EQ(ReadPrivate({0x01, 0x00, 0x11, 0, 0, 1, 2}, &l_x_Request), TULVO_OK);
    EXPECT_EQ(l_x_Request.m_ul_TimeOut, 0x102u);
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x14, 0, 0, 1}, &l_x_Request), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x12}, &l_x_Request), TULVO_OK);
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x16}, &l_x_Request), TULVO_OK);

    // SENDBUFFER: 10 bytes; a length one past the end; exactly the bytes that follow.
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x13, 0, 0, 0, 9, 0, 0, 0}, &l_x_Request),
              TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x13, 0, 0, 0, 9, 0, 0, 0, 3, 0x80, 0x00}, &l_x_Request),
              TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(
        ReadPrivate({0x01, 0x00, 0x13, 0, 0, 0, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0x80}, &l_x_Request),
        TULVO_BAD_IPC_FORMAT);
    const Bytes l_x_Send = {0x01, 0x00, 0x13, 0, 0, 0, 9, 0, 0, 0, 3, 0x80, 0x00, 0x00};
    ASSERT_EQ(ReadPrivate(l_x_Send, &l_x_Request), TULVO_OK);
    EXPECT_EQ(l_x_Request.m_ul_Command, 0x13u);
    EXPECT_EQ(l_x_Request.m_ul_TimeOut, 9u);
    EXPECT_EQ(l_x_Request.m_ul_FrameLength, 3u);
    EXPECT_EQ(l_x_Request.m_puc_Frame, l_x_Send.data() + 11);
    ASSERT_EQ(ReadPrivate({0x01, 0x00, 0x13, 0, 0, 0, 9, 0, 0, 0, 0}, &l_x_Request), TULVO_OK);
    EXPECT_EQ(l_x_Request.m_puc_Frame, nullptr);

    // WAITFORREBOOT: 14 bytes refused; fields at 3, 7, 11, frame at 15.
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x15, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}, &l_x_Request),
              TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x15, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1}, &l_x_Request),
              TULVO_BAD_IPC_FORMAT);
    const Bytes l_x_Reboot = {0x01, 0x00, 0x15, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0x70};
    ASSERT_EQ(ReadPrivate(l_x_Reboot, &l_x_Request), TULVO_OK);
    EXPECT_EQ(l_x_Request.m_ul_TimeOut, 1u);
    EXPECT_EQ(l_x_Request.m_ul_RebootWait, 2u);
    EXPECT_EQ(l_x_Request.m_ul_FrameLength, 1u);
    EXPECT_EQ(l_x_Request.m_puc_Frame[0], 0x70);
}

TEST(GestIpcPrivateValidation, DeviceKeyMustEndWithinRequestAndFitTheField) {
    GestIpc_PrivateRequest l_x_Request;
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x10, 0x01}, &l_x_Request), TULVO_BAD_IPC_FORMAT);
    EXPECT_EQ(ReadPrivate({0x01, 0x00, 0x10, 0x01, 'A', 'B'}, &l_x_Request), TULVO_BAD_IPC_FORMAT);
    const Bytes l_x_EmptyKey = {0x01, 0x00, 0x10, 0x02, 0x00};
    ASSERT_EQ(ReadPrivate(l_x_EmptyKey, &l_x_Request), TULVO_OK);
    EXPECT_EQ(l_x_Request.m_ul_PipeIndex, 2u);
    EXPECT_STREQ(l_x_Request.m_pc_DeviceKey, "");
    Bytes l_x_Link = {0x01, 0x00, 0x10, 0x01};
    l_x_Link.insert(l_x_Link.end(), 99, 'K');
    l_x_Link.push_back(0x00);
    ASSERT_EQ(ReadPrivate(l_x_Link, &l_x_Request), TULVO_OK);
    EXPECT_EQ(l_x_Request.m_ul_DeviceKeyLength, 99u);
    l_x_Link.insert(l_x_Link.begin() + 4, 'K');
    EXPECT_EQ(ReadPrivate(l_x_Link, &l_x_Request), TULVO_BAD_IPC_FORMAT);
}

// Every value that travels, pinned to its number (a constant compared with itself would pass
// whatever its number).
TEST(WireValues, StatusCodesHaveTheirNumbersAndNames) {
    const struct {
        int32_t m_i_Code;
        int32_t m_i_Value;
        uint32_t m_ul_Hex;
        const char* m_pc_Name;
    } l_ax_Table[] = {
        {TULVO_OK, 0, 0x00000000, "TULVO_OK"},
        {TULVO_ILV_READ_OVERFLOW, -342, 0xFFFFFEAA, "TULVO_ILV_READ_OVERFLOW"},
        {TULVO_CREATE_OBJECT_FAILED, -390, 0xFFFFFE7A, "TULVO_CREATE_OBJECT_FAILED"},
        {TULVO_DATA_TOO_LARGE, -392, 0xFFFFFE78, "TULVO_DATA_TOO_LARGE"},
        {TULVO_SERVER_TOO_OLD, -393, 0xFFFFFE77, "TULVO_SERVER_TOO_OLD"},
        {TULVO_NO_MEMORY, -394, 0xFFFFFE76, "TULVO_NO_MEMORY"},
        {TULVO_CORRUPTED_FRAME, -395, 0xFFFFFE75, "TULVO_CORRUPTED_FRAME"},
        {TULVO_NO_SERIAL_NUMBER, -396, 0xFFFFFE74, "TULVO_NO_SERIAL_NUMBER"},
        {TULVO_PORT_ALREADY_OPEN, -398, 0xFFFFFE72, "TULVO_PORT_ALREADY_OPEN"},
        {TULVO_PORT_NOT_OPEN, -399, 0xFFFFFE71, "TULVO_PORT_NOT_OPEN"},
        {TULVO_BAD_FRAME_LENGTH, -401, 0xFFFFFE6F, "TULVO_BAD_FRAME_LENGTH"},
        {TULVO_NO_RESPONSE, -402, 0xFFFFFE6E, "TULVO_NO_RESPONSE"},
        {TULVO_DEVICE_NOT_PRESENT, -403, 0xFFFFFE6D, "TULVO_DEVICE_NOT_PRESENT"},
        {TULVO_SYSTEM_ERROR, -404, 0xFFFFFE6C, "TULVO_SYSTEM_ERROR"},
        {TULVO_DEVICE_NOT_FOUND, -405, 0xFFFFFE6B, "TULVO_DEVICE_NOT_FOUND"},
        {TULVO_PORT_ERROR, -406, 0xFFFFFE6A, "TULVO_PORT_ERROR"},
        {TULVO_TOO_MANY_CHANNELS, -407, 0xFFFFFE69, "TULVO_TOO_MANY_CHANNELS"},
        {TULVO_BAD_IPC_FORMAT, -408, 0xFFFFFE68, "TULVO_BAD_IPC_FORMAT"},
        {TULVO_BAD_PARAMETER, -412, 0xFFFFFE64, "TULVO_BAD_PARAMETER"},
        {TULVO_MUTEX_ABANDONED, -413, 0xFFFFFE63, "TULVO_MUTEX_ABANDONED"},
        {TULVO_SIGNAL_ERROR, -414, 0xFFFFFE62, "TULVO_SIGNAL_ERROR"},
        {TULVO_ABORTED, -415, 0xFFFFFE61, "TULVO_ABORTED"},
        {TULVO_CANCEL_IO_FAILED, -416, 0xFFFFFE60, "TULVO_CANCEL_IO_FAILED"},
        {TULVO_TS_BAD_ARGUMENT, -417, 0xFFFFFE5F, "TULVO_TS_BAD_ARGUMENT"},
        {TULVO_TS_PEER_LOST, -418, 0xFFFFFE5E, "TULVO_TS_PEER_LOST"},
        {TULVO_TS_CHANNEL_ERROR, -419, 0xFFFFFE5D, "TULVO_TS_CHANNEL_ERROR"},
        {TULVO_TS_TIMEOUT, -421, 0xFFFFFE5B, "TULVO_TS_TIMEOUT"},
        {TULVO_TS_SERVER_NOT_RUNNING, -422, 0xFFFFFE5A, "TULVO_TS_SERVER_NOT_RUNNING"},
        {TULVO_FRAME_REFUSED, -427, 0xFFFFFE55, "TULVO_FRAME_REFUSED"},
        {TULVO_NULL_BUFFER, -529, 0xFFFFFDEF, "TULVO_NULL_BUFFER"},
        {TULVO_TIMEOUT, -553, 0xFFFFFDD7, "TULVO_TIMEOUT"},
        {TULVO_ILV_BAD_EXTENDED_ID, -600, 0xFFFFFDA8, "TULVO_ILV_BAD_EXTENDED_ID"},
        {TULVO_ILV_INVALID, -601, 0xFFFFFDA7, "TULVO_ILV_INVALID"},
        {TULVO_ILV_BUFFER_TOO_SMALL, -602, 0xFFFFFDA6, "TULVO_ILV_BUFFER_TOO_SMALL"},
    };
    for (const auto& l_x_Row : l_ax_Table) {
        EXPECT_EQ(l_x_Row.m_i_Code, l_x_Row.m_i_Value) << l_x_Row.m_pc_Name;
        EXPECT_EQ(static_cast<uint32_t>(l_x_Row.m_i_Value), l_x_Row.m_ul_Hex) << l_x_Row.m_pc_Name;
        EXPECT_STREQ(TulvoStatus_Name(l_x_Row.m_i_Value), l_x_Row.m_pc_Name);
    }
    EXPECT_STREQ(TulvoStatus_Name(-420), "TULVO_UNKNOWN_STATUS");
}

TEST(WireValues, CommandCodesInfoTypesAndPipeIndicesHaveTheirNumbers) {
    const struct {
        uint32_t m_ul_Code;
        uint32_t m_ul_Value;
        const char* m_pc_Name; // as the servers log it
    } l_ax_Public[] = {{BYTE2_CREATEPRIVATECHANNEL, 0x07, "CREATEPRIVATECHANNEL"},
                       {BYTE2_ENUMDEVICES, 0x08, "ENUMDEVICES"},
                       {BYTE2_SERVERINFOS, 0x09, "SERVERINFOS"}},
      l_ax_Private[] = {{BYTE2_LINKPRIVATECONX, 0x10, "LINKPRIVATECONX"},
                        {BYTE2_LOCKPIPE, 0x11, "LOCKPIPE"},
                        {BYTE2_UNLOCKPIPE, 0x12, "UNLOCKPIPE"},
                        {BYTE2_SENDBUFFER, 0x13, "SENDBUFFER"},
                        {BYTE2_RECVBUFFER, 0x14, "RECVBUFFER"},
                        {BYTE2_WAITFORREBOOT, 0x15, "WAITFORREBOOT"},
                        {BYTE2_DESTROYCONX, 0x16, "DESTROYCONX"}};
    for (const auto& l_x_Row : l_ax_Public) {
        EXPECT_EQ(l_x_Row.m_ul_Code, l_x_Row.m_ul_Value) << l_x_Row.m_pc_Name;
        EXPECT_STREQ(GestIpcPublic_CommandName(l_x_Row.m_ul_Value), l_x_Row.m_pc_Name);
        EXPECT_STREQ(GestIpcPrivate_CommandName(l_x_Row.m_ul_Value), "PRIVATE_IPC_UNKNOWN");
    }
    for (const auto& l_x_Row : l_ax_Private) {
        EXPECT_EQ(l_x_Row.m_ul_Code, l_x_Row.m_ul_Value) << l_x_Row.m_pc_Name;
        EXPECT_STREQ(GestIpcPrivate_CommandName(l_x_Row.m_ul_Value), l_x_Row.m_pc_Name);
        EXPECT_STREQ(GestIpcPublic_CommandName(l_x_Row.m_ul_Value), "PUBLIC_IPC_UNKNOWN");
    }
    EXPECT_STREQ(GestIpcPrivate_CommandName(0x17), "PRIVATE_IPC_UNKNOWN");
    EXPECT_EQ(REQUEST_CLASS_COMMAND, 0x01);
    EXPECT_EQ(REQUEST_CLASS_PRIVATECONNECT, 0x00);
    EXPECT_EQ(COMMANDE_OFFSET_COMMANDE, 2);
    EXPECT_EQ(SENDBUFFER_OFFSET_CMD_LENBUFFER, 7);
    EXPECT_EQ(SERVERINFOS_TYPE_VERSION, 0);
    EXPECT_EQ(SERVERINFOS_TYPE_LOG, 1);
    EXPECT_EQ(SERVERINFOS_LOG_OFF, 0);
    EXPECT_EQ(SERVERINFOS_LOG_ON, 1);
    EXPECT_EQ(SERVERINFOS_LOG_DELETE_MARKER, 2);
    EXPECT_EQ(SERVERINFOS_LOG_CREATE_MARKER, 3);
    EXPECT_EQ(TULVOSERV_NORMALPIPE, 0);
    EXPECT_EQ(TULVOSERV_REALTIMELOGPIPE, 2);
}

} // namespace
