// The Direct3D side of the demo: set-up once at start-up, then one call per frame.
#pragma once

#include <windows.h>

// Creates the device, the swap chain for the window and the render-target view (false
// if any of these fails), then the viewport and the depth buffer, all bound once for
// the whole run. A depth buffer, view or state that cannot be created is left out: the
// run goes on without a depth test rather than touch an object that does not exist.
bool InitDevice(HWND window, int width, int height);

// Creates the shaders, the input layout, the immutable vertex and index buffers of the
// mesh and the dynamic constant buffer. Needs the device of InitDevice. A creation that
// fails leaves its slot empty, and the frame then draws nothing with it.
void CreatePipelineResources();

// Advances the timeline to elapsedSeconds and draws and presents one frame. The window
// may already be destroyed on the last pass of the run.
void RenderFrame(HWND window, float elapsedSeconds);
