from typing import (
    Any, Callable, ClassVar, Dict, Generic, Iterator, List, Optional, Sequence, Tuple, TypeVar,
    Union, overload,
)

import os

import numpy as np
from numpy.typing import ArrayLike, NDArray
from _typeshed import ReadableBuffer as Buffer
from _typeshed import WriteableBuffer

_Twelve = Union[float, Sequence[float], Buffer]

HIGHLEVEL: int
LOWLEVEL: int
PosStopF: float
VelStopF: float
FR_: int
FL_: int
RR_: int
RL_: int
FR_0: int
FR_1: int
FR_2: int
FL_0: int
FL_1: int
FL_2: int
RR_0: int
RR_1: int
RR_2: int
RL_0: int
RL_1: int
RL_2: int
LEG_JOINTS: int
UDP_CLIENT_PORT: int
UDP_SERVER_PORT: int
UDP_SERVER_IP_BASIC: str
UDP_SERVER_IP_SPORT: str
HIGH_CMD_LENGTH: int
HIGH_STATE_LENGTH: int
LOW_CMD_LENGTH: int
LOW_STATE_LENGTH: int
THREAD_PRIORITY: int
tesmar_Hip_max: float
tesmar_Hip_min: float
tesmar_Thigh_max: float
tesmar_Thigh_min: float
tesmar_Calf_max: float
tesmar_Calf_min: float
pelk_Hip_max: float
pelk_Hip_min: float
pelk_Thigh_max: float
pelk_Thigh_min: float
pelk_Calf_max: float
pelk_Calf_min: float
highCmdChannel: str
highStateChannel: str
lowCmdChannel: str
lowStateChannel: str

# Every class is a pybind11 class, of this metaclass.
class _BindingType(type): ...
class _Binding(metaclass=_BindingType): ...

_Self = TypeVar("_Self")

# pybind11's enumerations: named integers, not enum.Enum.
class _Enumeration(_Binding):
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class LeggedType(_Enumeration):
    Tesmar: ClassVar[LeggedType]
    Pelk: ClassVar[LeggedType]
    __members__: ClassVar[Dict[str, LeggedType]]

class HighLevelType(_Enumeration):
    Basic: ClassVar[HighLevelType]
    Sport: ClassVar[HighLevelType]
    __members__: ClassVar[Dict[str, HighLevelType]]

class _NumberArray(_Binding):
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[float]: ...
    def tolist(self) -> list: ...

class FloatArray(_NumberArray):
    def __getitem__(self, index: int) -> float: ...
    def __setitem__(self, index: int, value: float) -> None: ...

class UInt8Array(_NumberArray):
    def __getitem__(self, index: int) -> int: ...
    def __setitem__(self, index: int, value: int) -> None: ...

class Int16Array(UInt8Array): ...
class UInt32Array(UInt8Array): ...

class _Record(_Binding):
    SIZE: int
    def __init__(self, **fields: Any) -> None: ...
    def __bytes__(self) -> bytes: ...
    def copy(self: _Self) -> _Self: ...
    def __copy__(self: _Self) -> _Self: ...
    def __deepcopy__(self: _Self, memo: object) -> _Self: ...
    def __eq__(self, other: object) -> bool: ...

class Cartesian(_Record):
    x: float
    y: float
    z: float
    @staticmethod
    def from_bytes(image: Buffer) -> Cartesian: ...

class IMU(_Record):
    quaternion: FloatArray
    gyroscope: FloatArray
    accelerometer: FloatArray
    rpy: FloatArray
    temperature: int
    @staticmethod
    def from_bytes(image: Buffer) -> IMU: ...

class LED(_Record):
    r: int
    g: int
    b: int
    @staticmethod
    def from_bytes(image: Buffer) -> LED: ...

class MotorState(_Record):
    mode: int
    q: float
    dq: float
    ddq: float
    tauEst: float
    q_raw: float
    dq_raw: float
    ddq_raw: float
    temperature: int
    reserve: UInt32Array
    @staticmethod
    def from_bytes(image: Buffer) -> MotorState: ...

class MotorCmd(_Record):
    mode: int
    q: float
    dq: float
    tau: float
    Kp: float
    Kd: float
    reserve: UInt32Array
    @staticmethod
    def from_bytes(image: Buffer) -> MotorCmd: ...

_Element = TypeVar("_Element")

class _RecordArray(_Binding, Generic[_Element]):
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_Element]: ...
    def __getitem__(self, index: int) -> _Element: ...
    def __setitem__(self, index: int, value: _Element) -> None: ...

class CartesianArray(_RecordArray[Cartesian]): ...
class LEDArray(_RecordArray[LED]): ...
class MotorStateArray(_RecordArray[MotorState]): ...
class MotorCmdArray(_RecordArray[MotorCmd]): ...

class LowState(_Record):
    levelFlag: int
    commVersion: int
    robotID: int
    SN: int
    bandWidth: int
    imu: IMU
    motorState: MotorStateArray
    footForce: Int16Array
    footForceEst: Int16Array
    tick: int
    wirelessRemote: UInt8Array
    reserve: int
    crc: int
    @staticmethod
    def from_bytes(image: Buffer) -> LowState: ...
    def joint_state(
        self,
    ) -> Tuple[Tuple[float, ...], Tuple[float, ...], Tuple[float, ...]]: ...
    def joint_state_into(
        self,
        q: Optional[WriteableBuffer] = None,
        dq: Optional[WriteableBuffer] = None,
        tauEst: Optional[WriteableBuffer] = None,
    ) -> None: ...
    def view(self, name: str) -> NDArray: ...

class LowCmd(_Record):
    levelFlag: int
    commVersion: int
    robotID: int
    SN: int
    bandWidth: int
    motorCmd: MotorCmdArray
    led: LEDArray
    wirelessRemote: UInt8Array
    reserve: int
    crc: int
    @staticmethod
    def from_bytes(image: Buffer) -> LowCmd: ...
    def set_joints(
        self,
        *,
        q: Optional[_Twelve] = None,
        dq: Optional[_Twelve] = None,
        Kp: Optional[_Twelve] = None,
        Kd: Optional[_Twelve] = None,
        tau: Optional[_Twelve] = None,
        mode: Optional[_Twelve] = None,
    ) -> None: ...
    def joint_command(self) -> Tuple[Tuple[float, ...], ...]: ...
    def view(self, name: str) -> NDArray: ...

class HighState(_Record):
    levelFlag: int
    commVersion: int
    robotID: int
    SN: int
    bandWidth: int
    mode: int
    imu: IMU
    forwardSpeed: float
    sideSpeed: float
    rotateSpeed: float
    bodyHeight: float
    updownSpeed: float
    forwardPosition: float
    sidePosition: float
    footPosition2Body: CartesianArray
    footSpeed2Body: CartesianArray
    footForce: Int16Array
    footForceEst: Int16Array
    tick: int
    wirelessRemote: UInt8Array
    reserve: int
    crc: int
    @staticmethod
    def from_bytes(image: Buffer) -> HighState: ...
    def view(self, name: str) -> NDArray: ...

class HighCmd(_Record):
    levelFlag: int
    commVersion: int
    robotID: int
    SN: int
    bandWidth: int
    mode: int
    forwardSpeed: float
    sideSpeed: float
    rotateSpeed: float
    bodyHeight: float
    footRaiseHeight: float
    yaw: float
    pitch: float
    roll: float
    led: LEDArray
    wirelessRemote: UInt8Array
    AppRemote: UInt8Array
    reserve: int
    crc: int
    @staticmethod
    def from_bytes(image: Buffer) -> HighCmd: ...

class UDPState(_Binding):
    TotalCount: int
    SendCount: int
    RecvCount: int
    SendError: int
    FlagError: int
    RecvCRCError: int
    RecvLoseError: int
    def __init__(self) -> None: ...
    def __bytes__(self) -> bytes: ...
    @staticmethod
    def from_bytes(image: bytes) -> UDPState: ...

class UDP(_Binding):
    udpState: UDPState
    @property
    def targetIP(self) -> Optional[str]: ...
    @property
    def targetPort(self) -> int: ...
    @property
    def localIP(self) -> None: ...
    @property
    def localPort(self) -> int: ...
    @property
    def sendLength(self) -> int: ...
    @property
    def recvLength(self) -> int: ...
    @overload
    def __init__(self, level: int, highControl: HighLevelType = ...) -> None: ...
    @overload
    def __init__(
        self, localPort: int, targetIP: str, targetPort: int, sendLength: int, recvLength: int
    ) -> None: ...
    @overload
    def __init__(self, localPort: int, targetPort: int, sendLength: int, recvLength: int) -> None: ...
    @overload
    def InitCmdData(self, cmd: HighCmd) -> None: ...
    @overload
    def InitCmdData(self, cmd: LowCmd) -> None: ...
    def switchLevel(self, level: int) -> None: ...
    @overload
    def SetSend(self, cmd: Union[LowCmd, HighCmd, Buffer]) -> int: ...
    @overload
    def SetSend(self, *, packet: Buffer) -> int: ...
    @overload
    def GetRecv(self, state: Union[LowState, HighState, WriteableBuffer]) -> None: ...
    @overload
    def GetRecv(self, *, packet: WriteableBuffer) -> None: ...
    def Send(self) -> int: ...
    def Recv(self) -> int: ...
    def socketFd(self) -> int: ...
    def linkHealth(self) -> LinkHealth: ...

class Safety(_Binding):
    def __init__(self, type: LeggedType) -> None: ...
    def PositionLimit(self, send: LowCmd) -> None: ...
    def PowerProtect(self, send: LowCmd, recv: LowState, factor: int) -> None: ...
    def PositionProtect(self, send: LowCmd, recv: LowState, limit: float) -> None: ...

class LoopFunc(_Binding):
    @overload
    def __init__(self, name: str, period: float, callback: Callable[[], object]) -> None: ...
    @overload
    def __init__(
        self, name: str, period: float, bindCPU: int, callback: Callable[[], object]
    ) -> None: ...
    def start(self) -> None: ...
    def shutdown(self) -> None: ...
    @property
    def error(self) -> Optional[BaseException]: ...
    def record_call_times(self, count: int) -> None: ...
    def call_times(self) -> List[Tuple[int, int]]: ...
    def status(self) -> LoopStatus: ...

class LoopStatus(_Binding):
    @property
    def running(self) -> bool: ...
    @property
    def iterations(self) -> int: ...
    @property
    def overruns(self) -> int: ...
    @property
    def error(self) -> str: ...

class StateTick(_Binding):
    @property
    def stale(self) -> bool: ...
    @property
    def stateAge(self) -> float: ...

_State = TypeVar("_State", LowState, HighState)
_Command = TypeVar("_Command", LowCmd, HighCmd)

class _StateLoop(_Binding, Generic[_State, _Command]):
    @overload
    def __init__(
        self, name: str, udp: UDP, state: _State, cmd: _Command, period: float,
        staleMargin: float, control: Callable[[_State, _Command, StateTick], object],
    ) -> None: ...
    @overload
    def __init__(
        self, name: str, udp: UDP, state: _State, cmd: _Command, period: float,
        staleMargin: float, bindCPU: int,
        control: Callable[[_State, _Command, StateTick], object],
    ) -> None: ...
    def start(self) -> None: ...
    def shutdown(self) -> None: ...
    def status(self) -> LoopStatus: ...
    def endpoint(self) -> UDP: ...
    @property
    def error(self) -> Optional[BaseException]: ...

class LowStateLoop(_StateLoop[LowState, LowCmd]): ...
class HighStateLoop(_StateLoop[HighState, HighCmd]): ...

def InitEnvironment() -> None: ...
def crc32(data: Buffer, words: Optional[int] = None) -> int: ...

_Received = TypeVar("_Received", HighState, LowState, HighCmd, LowCmd)

class _LCMHandler(_Binding, Generic[_Received]):
    @property
    def isrunning(self) -> bool: ...
    counter: int
    @property
    def sourceBuf(self) -> _Received: ...

class HighStateLCMHandler(_LCMHandler[HighState]): ...
class LowStateLCMHandler(_LCMHandler[LowState]): ...
class HighCmdLCMHandler(_LCMHandler[HighCmd]): ...
class LowCmdLCMHandler(_LCMHandler[LowCmd]): ...

class LCM(_Binding):
    @property
    def highStateLCMHandler(self) -> HighStateLCMHandler: ...
    @property
    def lowStateLCMHandler(self) -> LowStateLCMHandler: ...
    @property
    def highCmdLCMHandler(self) -> HighCmdLCMHandler: ...
    @property
    def lowCmdLCMHandler(self) -> LowCmdLCMHandler: ...
    def __init__(self, level: int) -> None: ...
    def SubscribeCmd(self) -> None: ...
    def SubscribeState(self) -> None: ...
    def Recv(self) -> int: ...
    def Send(self, record: Union[HighCmd, LowCmd, HighState, LowState]) -> int: ...
    def Get(self, record: Union[HighCmd, LowCmd, HighState, LowState]) -> None: ...

class LinkHealth(_Binding):
    def anyValid(self) -> bool: ...
    def stateAge(self) -> float: ...
    def stale(self, thresholdSeconds: float) -> bool: ...
    def validPackets(self) -> int: ...
    def emptyPolls(self) -> int: ...
    def checksumFailures(self) -> int: ...
    def tickRestarts(self) -> int: ...
    def recentLoss(self) -> float: ...
    def waitForFirstState(self, timeoutSeconds: float) -> bool: ...
    def setWarnings(self, enabled: bool) -> None: ...

class RealtimeReport(_Binding):
    @property
    def memoryLocked(self) -> bool: ...
    @property
    def fifoScheduling(self) -> bool: ...
    @property
    def priority(self) -> int: ...
    @property
    def reason(self) -> str: ...

def TryInitEnvironment(priority: int = ...) -> RealtimeReport: ...

# Leg kinematics: numpy arrays in and out (the calls need numpy; the module
# imports without it).
class LegGeometry(_Binding):
    def __init__(self) -> None: ...
    hipOffset: NDArray[np.float64]  # (4, 3), m
    sideSign: NDArray[np.float64]  # (4,), +1 left, -1 right
    abductionLength: float
    thighLength: float
    calfLength: float
    footRadius: float

class IkResult(_Enumeration):
    Reached: ClassVar[IkResult]
    OutOfReach: ClassVar[IkResult]
    Invalid: ClassVar[IkResult]
    __members__: ClassVar[Dict[str, IkResult]]

class LegKinematics(_Binding):
    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self, geometry: LegGeometry) -> None: ...
    def geometry(self) -> LegGeometry: ...
    def footPosition(self, leg: int, q: ArrayLike) -> NDArray[np.float64]: ...
    def footJacobian(self, leg: int, q: ArrayLike) -> NDArray[np.float64]: ...
    def inverseKinematics(
        self, leg: int, target: ArrayLike
    ) -> Tuple[IkResult, Optional[NDArray[np.float64]]]: ...
    def jointTorques(self, leg: int, q: ArrayLike, footForce: ArrayLike) -> NDArray[np.float64]: ...
    def footVelocity(self, leg: int, q: ArrayLike, dq: ArrayLike) -> NDArray[np.float64]: ...

class RecorderStats(_Binding):
    @property
    def commandsRecorded(self) -> int: ...
    @property
    def statesRecorded(self) -> int: ...
    @property
    def commandsDropped(self) -> int: ...
    @property
    def statesDropped(self) -> int: ...
    @property
    def eventsWritten(self) -> int: ...
    @property
    def eventsUnwritten(self) -> int: ...

class Recorder(_Binding):
    DEFAULT_SLOTS: ClassVar[int]
    def __init__(
        self, path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]],
        slotsPerDirection: int = ...,
    ) -> None: ...
    def attach(self, target: Union[UDP, LowStateLoop, HighStateLoop]) -> None: ...
    def stats(self) -> RecorderStats: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def path(self) -> str: ...
    def __enter__(self) -> Recorder: ...
    def __exit__(self, type: object, value: object, traceback: object) -> bool: ...
