// The page procedures of the property sheet, one per template.
#pragma once
#include <windows.h>

INT_PTR CALLBACK ServicePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AgentPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ClientPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK Client2000PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ServerPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// What the Service page asks of the Client page after it started or stopped the service; the
// Client page fills them in. Each does nothing while there is no Client page.
void UpdateSyncNowButton(HWND clientPage);
void UpdateTimePartner(HWND clientPage);
