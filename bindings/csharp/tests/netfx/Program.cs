// Marks one picture: NetFxHost INPUT OUTPUT. Built (not run) by the .NET
// tests to show that a .NET Framework x64 project gets the native DLL.
using System;
using Velmora;

static class Program
{
    static int Main(string[] args)
    {
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: NetFxHost INPUT OUTPUT");
            return 2;
        }
        try
        {
            ImgWatermark.Text(args[0], args[1], "(c) Velmora", position: Position.BottomRight);
            return 0;
        }
        catch (ImgWatermarkException e)
        {
            Console.Error.WriteLine(e.Message);
            return 1;
        }
    }
}
