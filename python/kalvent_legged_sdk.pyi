"""Command a four-legged robot over UDP, from Python (type stubs)."""

import enum
from typing import Callable, Iterator, List, Optional, Sequence, Tuple, Union, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import Buffer

Twelve = Union[float, Sequence[float], Buffer]

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

class LeggedType(enum.Enum):
    Tesmar = 0
    Pelk = 1

class HighLevelType(enum.Enum):
    Basic = 0
    Sport = 1

class _NumberArray:
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

class _Record:
    SIZE: int
    def __bytes__(self) -> bytes: ...
    def copy(self): ...
    def __eq__(self, other: object) -> bool: ...

class Cartesian(_Record):
    x: float
    y: float
    z: float
    def __init__(self, **fields: float) -> None: ...
    @staticmethod
    def from_bytes(image: Buffer) -> Cartesian: ...

class IMU(_Record):
    quaternion: FloatArray
    gyroscope: FloatArray
    accelerometer: FloatArray
    rpy: FloatArray
    temperature: int
    def __init__(self, **fields) -> None: ...
    @staticmethod
    def from_bytes(image: Buffer) -> IMU: ...

class LED(_Record):
    r: int
    g: int
    b: int
    def __init__(self, **fields: int) -> None: ...
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
    def __init__(self, **fields) -> None: ...
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
    def __init__(self, **fields) -> None: ...
    @staticmethod
    def from_bytes(image: Buffer) -> MotorCmd: ...

class CartesianArray:
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Cartesian]: ...
    def __getitem__(self, index: int) -> Cartesian: ...
    def __setitem__(self, index: int, value: Cartesian) -> None: ...

class LEDArray:
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[LED]: ...
    def __getitem__(self, index: int) -> LED: ...
    def __setitem__(self, index: int, value: LED) -> None: ...

class MotorStateArray:
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[MotorState]: ...
    def __getitem__(self, index: int) -> MotorState: ...
    def __setitem__(self, index: int, value: MotorState) -> None: ...

class MotorCmdArray:
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[MotorCmd]: ...
    def __getitem__(self, index: int) -> MotorCmd: ...
    def __setitem__(self, index: int, value: MotorCmd) -> None: ...

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
    def __init__(self, **fields) -> None: ...
    @staticmethod
    def from_bytes(image: Buffer) -> LowState: ...
    def joint_state(
        self,
    ) -> Tuple[Tuple[float, ...], Tuple[float, ...], Tuple[float, ...]]: ...
    def joint_state_into(
        self,
        q: Optional[Buffer] = None,
        dq: Optional[Buffer] = None,
        tauEst: Optional[Buffer] = None,
    ) -> None: ...
    def view(self, name: str) -> NDArray:
        """A numpy array aliasing the record: 'q', 'dq', 'ddq', 'tauEst' (12 float32,
        one MotorState apart), 'footForce', 'footForceEst' (4 int16), 'quaternion',
        'gyroscope', 'accelerometer', 'rpy' (float32). Needs numpy."""

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
    def __init__(self, **fields) -> None: ...
    @staticmethod
    def from_bytes(image: Buffer) -> LowCmd: ...
    def set_joints(
        self,
        *,
        q: Optional[Twelve] = None,
        dq: Optional[Twelve] = None,
        Kp: Optional[Twelve] = None,
        Kd: Optional[Twelve] = None,
        tau: Optional[Twelve] = None,
        mode: Optional[Twelve] = None,
    ) -> None: ...
    def joint_command(self) -> Tuple[Tuple[float, ...], ...]: ...
    def view(self, name: str) -> NDArray:
        """A numpy array aliasing the record: 'q', 'dq', 'tau', 'Kp', 'Kd' (12 float32,
        one MotorCmd apart). Needs numpy."""

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
    def __init__(self, **fields) -> None: ...
    @staticmethod
    def from_bytes(image: Buffer) -> HighState: ...
    def view(self, name: str) -> NDArray:
        """A numpy array aliasing the record: 'footForce', 'footForceEst' (4 int16),
        'quaternion', 'gyroscope', 'accelerometer', 'rpy' (float32). Needs numpy."""

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
    def __init__(self, **fields) -> None: ...
    @staticmethod
    def from_bytes(image: Buffer) -> HighCmd: ...

class UDPState:
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

class UDP:
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
    def __init__(self, level: int, highControl: HighLevelType = ...) -> None:
        """Every constructor prints 'UDP Initialized. Port: N '. ValueError for an
        invalid level or a packet length below 4; OSError (errno set) when socket,
        bind or connect fails, EINVAL for a target that is not a dotted-decimal
        IPv4 address."""
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
    def SetSend(self, cmd: Union[LowCmd, HighCmd, Buffer]) -> int:
        """A buffer must hold exactly sendLength bytes (ValueError otherwise)."""
    @overload
    def SetSend(self, *, packet: Buffer) -> int: ...
    @overload
    def GetRecv(self, state: Union[LowState, HighState, Buffer]) -> None:
        """A buffer must hold at least recvLength bytes (ValueError otherwise)."""
    @overload
    def GetRecv(self, *, packet: Buffer) -> None: ...
    def Send(self) -> int: ...
    def Recv(self) -> int: ...
    def socketFd(self) -> int: ...
    def linkHealth(self) -> LinkHealth: ...

class Safety:
    def __init__(self, type: LeggedType) -> None:
        """ValueError for a value that names no robot model."""
    def PositionLimit(self, send: LowCmd) -> None: ...
    def PowerProtect(self, send: LowCmd, recv: LowState, factor: int) -> None: ...
    def PositionProtect(self, send: LowCmd, recv: LowState, limit: float) -> None: ...

class LoopFunc:
    @overload
    def __init__(self, name: str, period: float, callback: Callable[[], object]) -> None: ...
    @overload
    def __init__(
        self, name: str, period: float, bindCPU: int, callback: Callable[[], object]
    ) -> None: ...
    def start(self) -> None: ...
    def shutdown(self) -> None:
        """Stops the loop; raises, once, the exception that stopped it."""
    @property
    def error(self) -> Optional[BaseException]:
        """The exception that stopped the loop's last run, or None."""
    def record_call_times(self, count: int) -> None: ...
    def call_times(self) -> List[Tuple[int, int]]: ...
    def status(self) -> LoopStatus: ...

class LoopStatus:
    """A copy of a loop's status; the counts start again at each start()."""
    running: bool
    iterations: int
    overruns: int  # calls that began more than one period late
    error: str  # 'TypeError: ...' for the exception that stopped the loop, or ''

class StateTick:
    """One object, reused for every call: copy its fields to keep them."""
    stale: bool
    stateAge: float

class LowStateLoop:
    @overload
    def __init__(
        self, name: str, udp: UDP, state: LowState, cmd: LowCmd, period: float,
        staleMargin: float, control: Callable[[LowState, LowCmd, StateTick], object],
    ) -> None: ...
    @overload
    def __init__(
        self, name: str, udp: UDP, state: LowState, cmd: LowCmd, period: float,
        staleMargin: float, bindCPU: int,
        control: Callable[[LowState, LowCmd, StateTick], object],
    ) -> None: ...
    def start(self) -> None:
        """RuntimeError when another state loop runs on the endpoint."""
    def shutdown(self) -> None:
        """Stops the loop; raises, once, the exception that stopped it."""
    def status(self) -> LoopStatus: ...
    def endpoint(self) -> UDP: ...
    @property
    def error(self) -> Optional[BaseException]: ...

class HighStateLoop:
    @overload
    def __init__(
        self, name: str, udp: UDP, state: HighState, cmd: HighCmd, period: float,
        staleMargin: float, control: Callable[[HighState, HighCmd, StateTick], object],
    ) -> None: ...
    @overload
    def __init__(
        self, name: str, udp: UDP, state: HighState, cmd: HighCmd, period: float,
        staleMargin: float, bindCPU: int,
        control: Callable[[HighState, HighCmd, StateTick], object],
    ) -> None: ...
    def start(self) -> None:
        """RuntimeError when another state loop runs on the endpoint."""
    def shutdown(self) -> None:
        """Stops the loop; raises, once, the exception that stopped it."""
    def status(self) -> LoopStatus: ...
    def endpoint(self) -> UDP: ...
    @property
    def error(self) -> Optional[BaseException]: ...

def InitEnvironment() -> None: ...
def crc32(data: Buffer, words: Optional[int] = None) -> int: ...

class HighStateLCMHandler:
    @property
    def isrunning(self) -> bool: ...
    counter: int
    @property
    def sourceBuf(self) -> HighState: ...

class LowStateLCMHandler:
    @property
    def isrunning(self) -> bool: ...
    counter: int
    @property
    def sourceBuf(self) -> LowState: ...

class HighCmdLCMHandler:
    @property
    def isrunning(self) -> bool: ...
    counter: int
    @property
    def sourceBuf(self) -> HighCmd: ...

class LowCmdLCMHandler:
    @property
    def isrunning(self) -> bool: ...
    counter: int
    @property
    def sourceBuf(self) -> LowCmd: ...

class LCM:
    highStateLCMHandler: HighStateLCMHandler
    lowStateLCMHandler: LowStateLCMHandler
    highCmdLCMHandler: HighCmdLCMHandler
    lowCmdLCMHandler: LowCmdLCMHandler
    def __init__(self, level: int) -> None:
        """Prints 'LCM Initialized. '. ValueError for an invalid level; OSError when
        LCM cannot be set up."""
    def SubscribeCmd(self) -> None: ...
    def SubscribeState(self) -> None: ...
    def Recv(self) -> int: ...
    @overload
    def Send(self, record: HighCmd) -> int: ...
    @overload
    def Send(self, record: LowCmd) -> int: ...
    @overload
    def Send(self, record: HighState) -> int: ...
    @overload
    def Send(self, record: LowState) -> int: ...
    @overload
    def Get(self, record: HighCmd) -> None: ...
    @overload
    def Get(self, record: LowCmd) -> None: ...
    @overload
    def Get(self, record: HighState) -> None: ...
    @overload
    def Get(self, record: LowState) -> None: ...

class LinkHealth:
    def anyValid(self) -> bool: ...
    def stateAge(self) -> float: ...
    def stale(self, thresholdSeconds: float) -> bool: ...
    def validPackets(self) -> int: ...
    def emptyPolls(self) -> int: ...
    def checksumFailures(self) -> int: ...
    def tickRestarts(self) -> int: ...
    def recentLoss(self) -> float: ...
    def waitForFirstState(self, timeoutSeconds: float) -> bool:
        """timeoutSeconds >= 0 or inf (ValueError otherwise); Ctrl-C ends the wait."""
    def setWarnings(self, enabled: bool) -> None: ...

class RealtimeReport:
    memoryLocked: bool
    fifoScheduling: bool
    priority: int
    reason: str

def TryInitEnvironment(priority: int = ...) -> RealtimeReport: ...

# Leg kinematics: numpy arrays in and out (the calls need numpy; the module
# imports without it).
class LegGeometry:
    def __init__(self) -> None: ...
    hipOffset: NDArray[np.float64]  # (4, 3), m
    sideSign: NDArray[np.float64]  # (4,), +1 left, -1 right
    abductionLength: float
    thighLength: float
    calfLength: float
    footRadius: float

class IkResult(enum.Enum):
    Reached = 0
    OutOfReach = 1
    Invalid = 2

class LegKinematics:
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

# --- Recorder: a program's exchange with the controller recorded to a file ---
import os

class RecorderStats:
    commandsRecorded: int
    statesRecorded: int
    commandsDropped: int
    statesDropped: int
    eventsWritten: int
    eventsUnwritten: int

class Recorder:
    DEFAULT_SLOTS: int
    def __init__(
        self, path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]],
        slotsPerDirection: int = ...,
    ) -> None:
        """OSError (errno, file name) when the file cannot be created."""
    def attach(self, target: Union[UDP, LowStateLoop, HighStateLoop]) -> None: ...
    def stats(self) -> RecorderStats: ...
    def close(self) -> None:
        """RuntimeError, the recorder left open, while a state loop runs on the endpoint."""
    @property
    def closed(self) -> bool: ...
    @property
    def path(self) -> str: ...
    def __enter__(self) -> Recorder: ...
    def __exit__(self, *exc: object) -> bool: ...
# --- end of Recorder ---
